#include <string>
#include <vector>

#include "bench/measurements.h"
#include "components/lock_file_table.h"

using wendlemoor::InterfacePtr;
using wendlemoor::LockFileTable;
using wendlemoor::LockService;

namespace {

template <typename Pair>
double NanosPerPair(int pairs, Pair&& pair) {
  const std::uint64_t start = NowNanos();
  for (int i = 0; i < pairs; ++i) pair();
  return static_cast<double>(NowNanos() - start) / pairs;
}

// A cold pair is the first use of a name by a service: its file exists (lock
// files outlive their users) but is not open yet. Each cold round times every
// name of kColdNames once through a fresh service, no more names than one
// keeps open, so that no release closes anything; the raw variant times the
// same names.
constexpr int kColdNames = static_cast<int>(LockFileTable::kKeptMax) - 1;
constexpr int kColdServicesPerRound = 100;

std::vector<std::string> ColdNames() {
  std::vector<std::string> names;
  for (int i = 0; i < kColdNames; ++i) {
    names.push_back("bench_cold_" + std::to_string(i));
  }
  return names;
}

// Nanoseconds per first use of a name, over kColdServicesPerRound fresh
// services; creating each service and opening its folder are not timed.
double ColdServicePairs(const TempFolder& folder,
                        const std::vector<std::string>& names) {
  std::uint64_t timed = 0;
  for (int i = 0; i < kColdServicesPerRound; ++i) {
    InterfacePtr<LockService> fresh = NewService(folder);
    ServiceAcquire(fresh.get(), kProbeName);
    ServiceRelease(fresh.get(), kProbeName);
    const std::uint64_t start = NowNanos();
    for (const std::string& name : names) {
      ServiceAcquire(fresh.get(), name.c_str());
      ServiceRelease(fresh.get(), name.c_str());
    }
    timed += NowNanos() - start;
  }
  return static_cast<double>(timed) / (kColdServicesPerRound * kColdNames);
}

}  // namespace

PairCosts MeasurePairs(LockService* service, const TempFolder& folder) {
  enum Variant {
    kServiceWarm,
    kKeptChecked,
    kKeptOfd,
    kKeptFlock,
    kServiceCold,
    kRaw,
    kVariants
  };
  constexpr int kRounds = 21;
  constexpr int kPairsPerRound = 4000;
  constexpr char kWarmName[] = "bench_pair_warm";
  const std::vector<std::string> cold_names = ColdNames();
  const int kept_checked = folder.OpenLockFile("bench_pair_checked");
  const int kept_ofd = folder.OpenLockFile("bench_pair_ofd");
  const int kept_flock = folder.OpenLockFile("bench_pair_flock");
  auto run = [&](int variant, int pairs) {
    switch (variant) {
      case kServiceWarm:
        return NanosPerPair(pairs, [&] {
          ServiceAcquire(service, kWarmName);
          ServiceRelease(service, kWarmName);
        });
      case kKeptChecked:
        return NanosPerPair(pairs, [&] {
          KeptLock(kept_checked);
          CheckLinked(kept_checked);
          KeptUnlock(kept_checked);
        });
      case kKeptOfd:
        return NanosPerPair(pairs, [&] {
          KeptLock(kept_ofd);
          KeptUnlock(kept_ofd);
        });
      case kKeptFlock:
        return NanosPerPair(pairs, [&] {
          KeptFlock(kept_flock);
          KeptUnflock(kept_flock);
        });
      case kServiceCold:
        return ColdServicePairs(folder, cold_names);
      default:
        return NanosPerPair(kColdServicesPerRound,
                            [&] {
                              for (const std::string& name : cold_names) {
                                RawRelease(RawAcquire(folder, name.c_str()));
                              }
                            }) /
               kColdNames;
    }
  };
  // The first round creates the files and warms the caches; it is not kept.
  for (int variant = 0; variant < kVariants; ++variant) {
    run(variant, kPairsPerRound / 4);
  }
  std::vector<double> rounds[kVariants];
  for (int round = 0; round < kRounds; ++round) {
    for (int k = 0; k < kVariants; ++k) {
      const int variant = (round + k) % kVariants;
      rounds[variant].push_back(run(variant, kPairsPerRound));
    }
  }
  Check(close(kept_checked), "close");
  Check(close(kept_ofd), "close");
  Check(close(kept_flock), "close");
  PairCosts costs;
  costs.service_warm_ns = Median(rounds[kServiceWarm]);
  costs.kept_checked_ns = Median(rounds[kKeptChecked]);
  costs.kept_ofd_ns = Median(rounds[kKeptOfd]);
  costs.kept_flock_ns = Median(rounds[kKeptFlock]);
  costs.service_cold_ns = Median(rounds[kServiceCold]);
  costs.raw_ns = Median(rounds[kRaw]);
  costs.warm_checked_ratio =
      MedianRatio(rounds[kServiceWarm], rounds[kKeptChecked]);
  costs.warm_bare_ratio = MedianRatio(rounds[kServiceWarm], rounds[kKeptOfd]);
  costs.cold_ratio = MedianRatio(rounds[kServiceCold], rounds[kRaw]);
  return costs;
}
