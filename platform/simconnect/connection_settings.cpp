// SimConnect.cfg reading and the choice of address and protocol version for one open.
#include "platform/simconnect/connection_settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/simconnect/wire_protocol.h"
#include "platform/text/text_util.h"

#if defined(_WIN32)
#include <sys/stat.h>
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace skyhelm::simconnect {
namespace {

std::string Trim(const std::string& text) {
  const char* space = " \t\r\n";
  const std::size_t first = text.find_first_not_of(space);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

bool ParsePort(const std::string& digits, std::uint16_t& port) {
  if (digits.empty() || digits.size() > 5) return false;
  std::uint32_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

// A SimConnect.cfg holds a few short sections; anything larger is not one.
constexpr std::size_t kMaxConfigBytes = 64 * 1024;

enum class FileRead { kRead, kAbsent, kRefused };

#if !defined(_WIN32)
void ReadAtMost(int fd, std::size_t limit, std::string& text) {
  text.resize(limit);
  std::size_t got = 0;
  while (got < limit) {
    const ssize_t n = ::read(fd, &text[got], limit - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  text.resize(got);
}
#endif

// Reads a regular file of at most kMaxConfigBytes. Opened without waiting (a FIFO of that name
// would otherwise block the open until a writer comes) and checked before anything is read.
FileRead ReadConfigText(const std::string& path, std::string& text, std::string& why) {
#if defined(_WIN32)
  struct _stat64 status;
  if (_stat64(path.c_str(), &status) != 0) return FileRead::kAbsent;
  if ((status.st_mode & _S_IFMT) != _S_IFREG) {
    why = path + ": not a regular file";
    return FileRead::kRefused;
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    why = path + ": cannot be read";
    return FileRead::kRefused;
  }
  text.resize(kMaxConfigBytes + 1);
  text.resize(std::fread(&text[0], 1, text.size(), file));
  std::fclose(file);
#else
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0 && errno == ENOENT) return FileRead::kAbsent;
  if (fd < 0) {
    why = path + ": cannot be read (" + std::strerror(errno) + ")";
    return FileRead::kRefused;
  }
  struct stat status;
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    why = path + ": not a regular file";
    return FileRead::kRefused;
  }
  // One byte past the limit, so that a file that grew after fstat is caught too.
  ReadAtMost(fd, kMaxConfigBytes + 1, text);
  ::close(fd);
#endif
  if (text.size() > kMaxConfigBytes) {
    why = path + ": larger than " + std::to_string(kMaxConfigBytes / 1024) + " KiB";
    return FileRead::kRefused;
  }
  return FileRead::kRead;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  const char last = folder.back();
  return last == '/' || last == '\\' ? folder + name : folder + "/" + name;
}

std::string ProgramFolder() {
  char path[4096];
#if defined(_WIN32)
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0 || n >= sizeof path) return "";
  const std::string full(path, n);
  const std::size_t slash = full.find_last_of("\\/");
#else
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof path) return "";
  const std::string full(path, static_cast<std::size_t>(n));
  const std::size_t slash = full.rfind('/');
#endif
  return slash == std::string::npos ? "" : full.substr(0, slash + 1);
}

// Named in full, so that a message says which of the two files was read.
std::string WorkingFolder() {
  char path[4096];
#if defined(_WIN32)
  const DWORD n = GetCurrentDirectoryA(sizeof path, path);
  if (n == 0 || n >= sizeof path) return "";
  return std::string(path, n) + "\\";
#else
  if (::getcwd(path, sizeof path) == nullptr) return "";
  return std::string(path) + "/";
#endif
}

}  // namespace

bool ParseSimAddress(const char* text, SimAddress& out) {
  if (text == nullptr) return false;
  const std::string address(text);
  const std::size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  if (!ParsePort(address.substr(colon + 1), out.port)) return false;
  out.host = address.substr(0, colon);
  return true;
}

std::string ShownValue(const std::string& text) {
  constexpr std::size_t kShownBytes = 60;
  std::string shown;
  for (std::size_t i = 0; i < text.size() && i < kShownBytes; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    shown += c < 0x20 || c == 0x7F ? '.' : text[i];
  }
  return text.size() > kShownBytes ? shown + "..." : shown;
}

bool ReadConfigFile(const std::string& text, const std::string& file, std::uint32_t config_index,
                    SimAddress& out, std::string& why) {
  const std::string wanted = "SimConnect." + std::to_string(config_index);
  std::string where = file + " [" + (config_index == 0 ? "SimConnect] or [" : "") + wanted + "]";
  const auto fail = [&](const std::string& reason) {
    why = where + ": " + reason;
    return false;
  };
  if (text.compare(0, 2, "\xFF\xFE") == 0 || text.compare(0, 2, "\xFE\xFF") == 0) {
    return fail("saved as UTF-16; save it as ANSI or UTF-8");
  }
  // Notepad long saved UTF-8 with a byte-order mark.
  std::istringstream lines(text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? text.substr(3) : text);
  std::string line;
  int number = 0;
  bool inside = false;  // in the first section that matches
  bool found = false;
  std::string protocol, address, port;
  bool has_protocol = false, has_address = false, has_port = false;
  while (std::getline(lines, line)) {
    ++number;
    line = Trim(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      const std::string name = Trim(line.substr(1, line.size() - 2));
      const bool matches = text::EqualsIgnoringCase(name, wanted) ||
                           (config_index == 0 && text::EqualsIgnoringCase(name, "SimConnect"));
      inside = matches && !found;
      if (inside) where = file + " [" + ShownValue(name) + "]";
      found = found || matches;
      continue;
    }
    // Other programs' sections are theirs: only the one read here must be well formed.
    if (!inside) continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) {
      return fail("line " + std::to_string(number) + " is not key=value");
    }
    const std::string key = Trim(line.substr(0, equals));
    std::string value = line.substr(equals + 1);
    // People write "Port=500 ; the sim PC": a ';' after a blank starts a comment.
    const std::size_t comment = value.find(';');
    if (comment != std::string::npos &&
        (comment == 0 || value[comment - 1] == ' ' || value[comment - 1] == '\t')) {
      value.resize(comment);
    }
    value = Trim(value);
    if (text::EqualsIgnoringCase(key, "Protocol")) {
      protocol = value;
      has_protocol = true;
    } else if (text::EqualsIgnoringCase(key, "Address")) {
      address = value;
      has_address = true;
    } else if (text::EqualsIgnoringCase(key, "Port")) {
      port = value;
      has_port = true;
    }
  }
  if (!found) return fail("no such section");
  if (!has_protocol || !has_address || !has_port) return fail("needs Protocol, Address and Port");
  if (!text::EqualsIgnoringCase(protocol, "IPv4")) {
    return fail("Protocol=" + ShownValue(protocol) + " is not served (only IPv4)");
  }
  if (address.empty() || !ParsePort(port, out.port)) {
    return fail("Address must name a host and Port be 1..65535");
  }
  out.host = address;
  return true;
}

std::vector<std::string> ConfigFolders() { return {WorkingFolder(), ProgramFolder()}; }

bool ResolveConnectionSettings(std::uint32_t config_index, const std::vector<std::string>& folders,
                               ConnectionSettings& out, std::string& why) {
  out.protocol = wire::kDefaultProtocol;
  const char* protocol = std::getenv(kProtocolVariable);
  if (protocol != nullptr && *protocol != '\0') {
    const std::string text(protocol);
    if (text.size() != 1 || !wire::IsKnownProtocol(static_cast<std::uint32_t>(text[0] - '0'))) {
      why = std::string("malformed ") + kProtocolVariable + " \"" + ShownValue(text) +
            "\" (expected 2 to 6)";
      return false;
    }
    out.protocol = static_cast<std::uint32_t>(text[0] - '0');
  }
  const char* address = std::getenv(kAddressVariable);
  if (address != nullptr && *address != '\0') {
    if (!ParseSimAddress(address, out.address)) {
      why = std::string("malformed ") + kAddressVariable + " \"" + ShownValue(address) +
            "\" (expected host:port)";
      return false;
    }
    out.source = kAddressVariable;
    return true;
  }
  for (const std::string& folder : folders) {
    const std::string path = JoinPath(folder, kConfigFileName);
    std::string text;
    const FileRead read = ReadConfigText(path, text, why);
    if (read == FileRead::kAbsent) continue;
    if (read == FileRead::kRefused) return false;
    out.source = path;
    return ReadConfigFile(text, path, config_index, out.address, why);
  }
  ParseSimAddress(kDefaultAddress, out.address);
  out.source = "default";
  return true;
}

}  // namespace skyhelm::simconnect
