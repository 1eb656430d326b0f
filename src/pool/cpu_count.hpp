// The worker count: the two environment variables' texts, and the processors available to the
// process (affinity set, control-group CPU quota, online count), with the parsing behind it split
// into pure functions of the texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

inline constexpr std::size_t kMaxWorkers = 65535;

// An unsigned decimal with at most one leading '+'; nothing else (no spaces, no '-', no empty
// text, nothing that overflows 64 bits). Empty optional when rejected.
std::optional<std::uint64_t> parse_thread_count(std::string_view text) noexcept;

// W from the two variables' values (null when unset) and the default count, capped.
std::size_t choose_worker_count(const char* num_threads, const char* rs_num_cpus,
                                std::size_t default_count) noexcept;

// cgroup v2 `cpu.max` ("150000 100000"): quota / period rounded down, possibly 0. Empty for
// "max" (no limit), a zero period or anything malformed.
std::optional<std::size_t> parse_cpu_max(std::string_view text) noexcept;

// cgroup v1 `cpu.cfs_quota_us` and `cpu.cfs_period_us`, each trimmed: quota / period rounded
// down, possibly 0. Empty for a quota of -1 (no limit), a zero period or anything malformed.
std::optional<std::size_t> parse_cfs_quota(std::string_view quota,
                                           std::string_view period) noexcept;

// The process's place from /proc/self/cgroup: a v1 hierarchy with the cpu controller if there is
// one, else the v2 entry ("0::/path"). `path` has no leading '/'.
struct CgroupPlace {
  std::string path;
  bool v1 = false;
};
std::optional<CgroupPlace> parse_proc_self_cgroup(std::string_view text);

// For a v1 place, the cpu controller's mount point from /proc/self/mountinfo and the place's path
// below it (a bind mount of a sub-hierarchy already includes part of the path).
struct CgroupMount {
  std::string mount_point;
  std::string path;
};
std::optional<CgroupMount> find_cpu_cgroup_mount(std::string_view mountinfo, std::string_view path);

// The smallest quota on the way from the process's cgroup up to its hierarchy's root. Every file
// is read under `root`: "" for the real system, a directory tree standing in for it in tests.
// Empty when no quota applies.
std::optional<std::size_t> cgroup_cpu_quota(const std::string& root);

// The affinity count reduced to the quota (at least 1); without an affinity count, the online
// count; without either, 1.
std::size_t combine_cpu_counts(std::optional<std::size_t> affinity,
                               std::optional<std::size_t> quota,
                               std::optional<std::size_t> online) noexcept;

// The default worker count, from the running system.
std::size_t available_cpus() noexcept;

}  // namespace corvane
