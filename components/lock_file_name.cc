#include "components/lock_file_name.h"

namespace wendlemoor {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

bool KeptAsIs(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// The value of an upper-case hex digit, or -1.
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void LockFileName(const char* name, std::size_t length, char* out) {
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (KeptAsIs(c)) {
      *out++ = static_cast<char>(c);
    } else {
      *out++ = '%';
      *out++ = kHex[c >> 4];
      *out++ = kHex[c & 0xF];
    }
  }
  *out = '\0';
}

std::size_t LockNameFromFileName(const char* file_name, char* out) {
  std::size_t length = 0;
  for (const char* p = file_name; *p != '\0'; ++length) {
    if (length == kLockNameMax) return 0;
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '%') {
      const int high = HexValue(p[1]);
      const int low = high < 0 ? -1 : HexValue(p[2]);
      if (low < 0) return 0;
      c = static_cast<unsigned char>(high * 16 + low);
      // Only the one spelling LockFileName writes maps back.
      if (c == 0 || KeptAsIs(c)) return 0;
      p += 3;
    } else if (KeptAsIs(c)) {
      ++p;
    } else {
      return 0;
    }
    out[length] = static_cast<char>(c);
  }
  out[length] = '\0';
  return length;
}

}  // namespace wendlemoor
