// Worker count and the processors available to the process (affinity set, control-group CPU
// quota, online count). The parsing is pure functions of the texts read.
#include "pool/cpu_count.hpp"

#include <errno.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <vector>

namespace corvane {

// ---------------------------------------------------------------------------------------------
// Worker count

std::optional<std::uint64_t> parse_thread_count(std::string_view text) noexcept {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::size_t choose_worker_count(const char* num_threads, const char* rs_num_cpus,
                                std::size_t default_count) noexcept {
  // At least 1 even if a caller passes a zero default.
  const auto cap = [](std::uint64_t w) {
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(w, 1, kMaxWorkers));
  };
  if (num_threads != nullptr) {
    if (const auto w = parse_thread_count(num_threads)) {
      return cap(*w > 0 ? *w : default_count);  // 0 asks for the default outright
    }
  }
  if (rs_num_cpus != nullptr) {
    if (const auto w = parse_thread_count(rs_num_cpus); w && *w > 0) return cap(*w);
  }
  return cap(default_count);
}

// ---------------------------------------------------------------------------------------------
// Processors available to the process

namespace {

std::string_view trim_whitespace(std::string_view s) noexcept {
  constexpr std::string_view kSpace = " \t\n\v\f\r";
  const auto first = s.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kSpace) - first + 1);
}

// Splits at `sep`, keeping empty fields.
std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> fields;
  for (;;) {
    const auto at = s.find(sep);
    fields.push_back(s.substr(0, at));
    if (at == std::string_view::npos) return fields;
    s.remove_prefix(at + 1);
  }
}

bool has_field(std::string_view list, char sep, std::string_view wanted) {
  for (const auto field : split(list, sep)) {
    if (field == wanted) return true;
  }
  return false;
}

// The non-empty components of a slash-separated path.
std::vector<std::string_view> path_components(std::string_view path) {
  std::vector<std::string_view> parts;
  for (const auto part : split(path, '/')) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

std::optional<std::size_t> quotient(std::optional<std::uint64_t> limit,
                                    std::optional<std::uint64_t> period) noexcept {
  if (!limit || !period || *period == 0) return std::nullopt;
  return static_cast<std::size_t>(*limit / *period);
}

std::optional<std::size_t> smaller(std::optional<std::size_t> a, std::optional<std::size_t> b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

std::optional<std::string> read_file(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "re");
  if (f == nullptr) return std::nullopt;
  std::string text;
  char chunk[512];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, got);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return std::nullopt;
  return text;
}

// Only a path known not to exist counts as missing; any other error lets the caller try.
bool may_exist(const std::string& path) noexcept {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 || errno != ENOENT;
}

std::string below(std::string dir, std::string_view relative) {
  for (const auto part : path_components(relative)) {
    dir += '/';
    dir += part;
  }
  return dir;
}

// Calls visit(dir) for mount/relative and each ancestor up to and including the mount point.
template <typename Visit>
void walk_up(const std::string& mount, std::string_view relative, Visit visit) {
  std::string dir = below(mount, relative);
  for (;;) {
    visit(dir);
    if (dir.size() <= mount.size()) return;
    dir.resize(dir.rfind('/'));
  }
}

std::optional<std::size_t> quota_v2(const std::string& root, std::string_view path) {
  const std::string mount = root + "/sys/fs/cgroup";
  // Without cgroup.controllers this is not a v2 hierarchy, whatever /proc/self/cgroup says.
  if (!may_exist(below(mount, path) + "/cgroup.controllers")) return std::nullopt;
  std::optional<std::size_t> quota;
  walk_up(mount, path, [&](const std::string& dir) {
    if (const auto text = read_file(dir + "/cpu.max")) quota = smaller(quota, parse_cpu_max(*text));
  });
  return quota;
}

std::optional<std::size_t> quota_v1_walk(const std::string& mount, std::string_view path) {
  std::optional<std::size_t> quota;
  walk_up(mount, path, [&](const std::string& dir) {
    const auto limit = read_file(dir + "/cpu.cfs_quota_us");
    const auto period = read_file(dir + "/cpu.cfs_period_us");
    if (limit && period) quota = smaller(quota, parse_cfs_quota(*limit, *period));
  });
  return quota;
}

std::optional<std::size_t> quota_v1(const std::string& root, std::string_view path) {
  // The usual mount points first; the mount table only when neither holds the place.
  for (const std::string_view usual : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
    const std::string mount = root + std::string(usual);
    if (may_exist(below(mount, path))) return quota_v1_walk(mount, path);
  }
  const auto mountinfo = read_file(root + "/proc/self/mountinfo");
  if (!mountinfo) return std::nullopt;
  const auto found = find_cpu_cgroup_mount(*mountinfo, path);
  if (!found) return std::nullopt;
  const std::string mount = root + found->mount_point;
  if (!may_exist(below(mount, found->path))) return std::nullopt;
  return quota_v1_walk(mount, found->path);
}

std::optional<std::size_t> affinity_count() noexcept {
  // A cpu_set_t covers 1,024 processors; larger machines need a larger set.
  for (int cpus = CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) return std::nullopt;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    const int rc = ::sched_getaffinity(0, bytes, set);
    const int err = errno;
    const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (rc == 0) return count > 0 ? std::optional<std::size_t>(count) : std::nullopt;
    if (err != EINVAL) return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::size_t> parse_cpu_max(std::string_view text) noexcept {
  std::string_view line = text.substr(0, text.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const auto space = line.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  const std::string_view limit = line.substr(0, space);
  std::string_view period = line.substr(space + 1);
  period = period.substr(0, period.find(' '));
  return quotient(parse_thread_count(limit), parse_thread_count(period));
}

std::optional<std::size_t> parse_cfs_quota(std::string_view quota,
                                           std::string_view period) noexcept {
  return quotient(parse_thread_count(trim_whitespace(quota)),
                  parse_thread_count(trim_whitespace(period)));
}

std::optional<CgroupPlace> parse_proc_self_cgroup(std::string_view text) {
  std::optional<CgroupPlace> place;
  for (const auto line : split(text, '\n')) {
    // hierarchy-id:controller-list:path; the path may itself contain ':'.
    const auto first = line.find(':');
    if (first == std::string_view::npos) continue;
    const auto second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    bool v1 = false;
    if (controllers.empty()) {
      v1 = false;
    } else if (has_field(controllers, ',', "cpu")) {
      v1 = true;
    } else {
      continue;
    }
    if (place && !v1) continue;  // a v1 cpu hierarchy names its controller: it wins over v2
    std::string_view path = line.substr(second + 1);
    if (!path.empty() && path.front() == '/') path.remove_prefix(1);
    place = CgroupPlace{.path = std::string(path), .v1 = v1};
  }
  return place;
}

std::optional<CgroupMount> find_cpu_cgroup_mount(std::string_view mountinfo,
                                                 std::string_view path) {
  const auto wanted = path_components(path);
  for (const auto raw_line : split(mountinfo, '\n')) {
    // id parent major:minor root mount-point options [optional...] - type source super-options
    const auto fields = split(trim_whitespace(raw_line), ' ');
    if (fields.size() < 8) continue;
    const std::string_view root = fields[3];
    const std::string_view mount_point = fields[4];
    const std::string_view type = fields[fields.size() - 3];
    const std::string_view super_options = fields.back();
    if (type != "cgroup" || !has_field(super_options, ',', "cpu")) continue;
    if (root.empty() || root.front() != '/') continue;
    const auto mounted = path_components(root);
    if (mounted.size() > wanted.size() ||
        !std::equal(mounted.begin(), mounted.end(), wanted.begin())) {
      continue;  // a bind mount of a sub-hierarchy that does not contain our place
    }
    std::string rest;
    for (std::size_t i = mounted.size(); i < wanted.size(); ++i) {
      if (!rest.empty()) rest += '/';
      rest += wanted[i];
    }
    return CgroupMount{.mount_point = std::string(mount_point), .path = std::move(rest)};
  }
  return std::nullopt;
}

std::optional<std::size_t> cgroup_cpu_quota(const std::string& root) {
  const auto text = read_file(root + "/proc/self/cgroup");
  if (!text) return std::nullopt;
  const auto place = parse_proc_self_cgroup(*text);
  if (!place) return std::nullopt;
  return place->v1 ? quota_v1(root, place->path) : quota_v2(root, place->path);
}

std::size_t combine_cpu_counts(std::optional<std::size_t> affinity,
                               std::optional<std::size_t> quota,
                               std::optional<std::size_t> online) noexcept {
  if (affinity && *affinity > 0) {
    return quota ? std::min(*affinity, std::max<std::size_t>(*quota, 1)) : *affinity;
  }
  if (online && *online > 0) return *online;
  return 1;
}

std::size_t available_cpus() noexcept {
  std::optional<std::size_t> quota;
  try {
    quota = cgroup_cpu_quota("");
  } catch (...) {
    // Out of memory while reading a few small files: go on without the quota.
  }
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return combine_cpu_counts(affinity_count(), quota,
                            online > 0 ? std::optional<std::size_t>(online) : std::nullopt);
}

}  // namespace corvane
