// The wendlemoor-chaos adapter (docs/adapter-protocol.md) for Go's
// github.com/gofrs/flock, as Go programs use it; adapters/go-flock and
// adapters/go-flock-shared start it, built by the project's build into
// build/adapters/wendlemoor-go-flock.
//
// Usage: wendlemoor-go-flock each|shared FOLDER
//
// Each run thread T is a goroutine of its own, started at T's first request
// and fed by a channel, so a waiting Lock() blocks T alone. Name N is the
// file FOLDER/N; the folder is made again (os.MkdirAll) before each
// acquisition, since a cleaner may remove it between holds. A *Flock opens
// its file at Lock()/TryLock() and closes it at Unlock(), so every hold
// locks the file that is there now.
//
//   - each: every goroutine makes its own *Flock per name (flock.New) at its
//     first use of the name and keeps it. Two *Flock are two open files, so
//     goroutines exclude each other as processes do.
//   - shared: one *Flock per name for the whole process, which every
//     goroutine calls: the mistake of sharing the object. Its Lock() returns
//     at once when the object is locked already, so every goroutine that
//     asks "holds" it, and any Unlock() frees it for all.
//
// What the adapter adds: the misuse answers (a goroutine's held names: asking
// again is "failed deadlock", giving back one not held "failed not-held");
// the library never sees either. "end T" ends T's goroutine: what it held
// stays locked (a dropped *Flock's file is closed only if the garbage
// collector finalises it). Instance 2 of a request ("acquire T N wait 2") is
// a second lock object: in each, a second *Flock of the goroutine; in
// shared, a second shared *Flock per name. Go cannot fork a running
// program, so "fork" is not offered. At the end of its input each goroutine
// gives back what it holds, for at most a second, and the process exits.
package main

import (
	"bufio"
	"errors"
	"fmt"
	"os"
	"path/filepath"
	"regexp"
	"strconv"
	"strings"
	"sync"
	"syscall"
	"time"

	"github.com/gofrs/flock"
)

// The run waits 2 s after closing the adapter's input before it kills it.
const closeDeadline = time.Second

var (
	nameWord   = regexp.MustCompile(`^[A-Za-z0-9-]+$`)
	threadWord = regexp.MustCompile(`^[0-9]{1,9}$`)
)

// A lock object of one instance for one name: the key of every map here.
type key struct {
	name     string
	instance int
}

// The answers, one whole line at a time, from any goroutine.
type answers struct {
	mu  sync.Mutex
	out *bufio.Writer
}

func (a *answers) say(format string, args ...interface{}) {
	a.mu.Lock()
	defer a.mu.Unlock()
	fmt.Fprintf(a.out, format+"\n", args...)
	a.out.Flush()
}

type adapter struct {
	folder string
	shared bool
	answer *answers
	// The shared objects (shared only). Mutex rules: mu guards objects.
	mu      sync.Mutex
	objects map[key]*flock.Flock
}

// The *Flock that goroutine-owned `mine` or the process's shared table
// gives for k, made at its first use.
func (a *adapter) object(mine map[key]*flock.Flock, k key) *flock.Flock {
	path := filepath.Join(a.folder, k.name)
	if !a.shared {
		if mine[k] == nil {
			mine[k] = flock.New(path)
		}
		return mine[k]
	}
	a.mu.Lock()
	defer a.mu.Unlock()
	if a.objects[k] == nil {
		a.objects[k] = flock.New(path)
	}
	return a.objects[k]
}

// One request of a run thread: its words after the thread number.
type request struct {
	verb     string
	name     string
	wait     bool
	instance int
}

// One word for a failure: the errno under it, else "error".
func reason(err error) string {
	var errno syscall.Errno
	if errors.As(err, &errno) {
		return "errno-" + strconv.Itoa(int(errno))
	}
	return "error"
}

// Serves run thread t until "end t", or until the end of the input closes
// its channel: then it gives back what it holds and says so on `done`.
func (a *adapter) serve(t string, requests <-chan request, done chan<- struct{}) {
	mine := map[key]*flock.Flock{}
	held := map[key]*flock.Flock{}
	for r := range requests {
		k := key{r.name, r.instance}
		switch r.verb {
		case "acquire":
			if held[k] != nil {
				a.answer.say("%s failed deadlock", t)
				continue
			}
			f := a.object(mine, k)
			if err := os.MkdirAll(a.folder, 0700); err != nil {
				a.answer.say("%s failed %s", t, reason(err))
				continue
			}
			var err error
			locked := true
			if r.wait {
				err = f.Lock()
			} else {
				locked, err = f.TryLock()
			}
			switch {
			case err != nil:
				a.answer.say("%s failed %s", t, reason(err))
			case !locked:
				a.answer.say("%s busy", t)
			default:
				held[k] = f
				a.answer.say("%s done", t)
			}
		case "release":
			f := held[k]
			if f == nil {
				a.answer.say("%s failed not-held", t)
				continue
			}
			delete(held, k)
			if err := f.Unlock(); err != nil {
				a.answer.say("%s failed %s", t, reason(err))
				continue
			}
			a.answer.say("%s done", t)
		case "end":
			// The goroutine ends holding: its *Flock values are dropped, not
			// unlocked.
			a.answer.say("%s done", t)
			return
		}
	}
	for _, f := range held {
		_ = f.Unlock()
	}
	done <- struct{}{}
}

// The request of `words` (the line less its thread number), or false when
// its words are wrong for its verb.
func parse(words []string) (request, bool) {
	r := request{verb: words[0], instance: 1}
	args := words[1:]
	want := map[string]int{"acquire": 2, "release": 1, "end": 0}[r.verb]
	if len(args) == want+1 && r.verb != "end" {
		switch args[want] {
		case "1":
		case "2":
			r.instance = 2
		default:
			return r, false
		}
		args = args[:want]
	}
	if len(args) != want {
		return r, false
	}
	if want > 0 {
		if !nameWord.MatchString(args[0]) {
			return r, false
		}
		r.name = args[0]
	}
	if r.verb == "acquire" {
		if args[1] != "wait" && args[1] != "nowait" {
			return r, false
		}
		r.wait = args[1] == "wait"
	}
	return r, true
}

func main() {
	if len(os.Args) != 3 || (os.Args[1] != "each" && os.Args[1] != "shared") {
		fmt.Fprintln(os.Stderr, "usage: wendlemoor-go-flock each|shared FOLDER")
		os.Exit(2)
	}
	a := &adapter{
		folder:  os.Args[2],
		shared:  os.Args[1] == "shared",
		answer:  &answers{out: bufio.NewWriter(os.Stdout)},
		objects: map[key]*flock.Flock{},
	}
	a.answer.say("wendlemoor-adapter 1 threads thread-end misuse instances")

	threads := map[string]chan request{}
	done := make(chan struct{})
	lines := bufio.NewScanner(os.Stdin)
	for lines.Scan() {
		words := strings.Fields(lines.Text())
		if len(words) < 2 || !threadWord.MatchString(words[1]) {
			a.answer.say("? failed bad-request")
			continue
		}
		t := words[1]
		words = append(words[:1], words[2:]...)
		if words[0] != "acquire" && words[0] != "release" && words[0] != "end" {
			a.answer.say("%s failed unknown-request", t)
			continue
		}
		r, ok := parse(words)
		if !ok {
			a.answer.say("%s failed bad-request", t)
			continue
		}
		ch := threads[t]
		if ch == closedThread {
			a.answer.say("%s failed ended", t)
			continue
		}
		if ch == nil {
			ch = make(chan request, 1)
			threads[t] = ch
			go a.serve(t, ch, done)
		}
		ch <- r
		if r.verb == "end" {
			close(ch)
			threads[t] = closedThread
		}
	}
	// The end of the input: every live goroutine gives back what it holds;
	// one inside a waiting Lock() may never come back.
	live := 0
	for _, ch := range threads {
		if ch != closedThread {
			close(ch)
			live++
		}
	}
	deadline := time.After(closeDeadline)
	for ; live > 0; live-- {
		select {
		case <-done:
		case <-deadline:
			os.Exit(0)
		}
	}
}

// The channel of a thread that ended: its number is never used again.
var closedThread = make(chan request)
