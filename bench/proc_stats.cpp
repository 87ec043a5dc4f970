// Process figures read from /proc.
#include "bench/proc_stats.h"

#include <dirent.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace skyhelm::bench {
namespace {

std::int64_t ThreadCpuNs(const std::string& schedstat_path) {
  std::FILE* file = std::fopen(schedstat_path.c_str(), "r");
  if (file == nullptr) return -1;
  long long on_cpu_ns = -1;
  if (std::fscanf(file, "%lld", &on_cpu_ns) != 1) on_cpu_ns = -1;
  std::fclose(file);
  return on_cpu_ns;
}

}  // namespace

std::int64_t ProcessCpuNs(pid_t pid) {
  const std::string task_dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(task_dir.c_str());
  if (dir == nullptr) return -1;
  std::int64_t total_ns = 0;
  bool any = false;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::int64_t thread_ns = ThreadCpuNs(task_dir + "/" + entry->d_name + "/schedstat");
    if (thread_ns < 0) continue;
    total_ns += thread_ns;
    any = true;
  }
  closedir(dir);
  return any ? total_ns : -1;
}

long PeakRssKib(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return -1;
  char line[256];
  long peak_kib = -1;
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (std::strncmp(line, "VmHWM:", 6) == 0) {
      std::sscanf(line + 6, "%ld", &peak_kib);
      break;
    }
  }
  std::fclose(file);
  return peak_kib;
}

}  // namespace skyhelm::bench
