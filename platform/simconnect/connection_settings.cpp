// SimConnect.cfg reading and the choice of address and protocol version for one open.
#include "platform/simconnect/connection_settings.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/simconnect/wire_protocol.h"

#if defined(_WIN32)
#include <windows.h>
#else
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

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
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

bool ReadWholeFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream content;
  content << in.rdbuf();
  text = content.str();
  return true;
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

bool ReadConfigFile(const std::string& text, const std::string& file, std::uint32_t config_index,
                    SimAddress& out, std::string& why) {
  const std::string wanted = "SimConnect." + std::to_string(config_index);
  const std::string where = file + " [" + wanted + "]";
  std::istringstream lines(text);
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
    if (line.front() == '[') {
      if (line.back() != ']') {
        why = where + ": line " + std::to_string(number) + " is not a section header";
        return false;
      }
      const std::string name = Trim(line.substr(1, line.size() - 2));
      const bool matches =
          SameText(name, wanted) || (config_index == 0 && SameText(name, "SimConnect"));
      inside = matches && !found;
      found = found || matches;
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) {
      why = where + ": line " + std::to_string(number) + " is not key=value";
      return false;
    }
    if (!inside) continue;
    const std::string key = Trim(line.substr(0, equals));
    const std::string value = Trim(line.substr(equals + 1));
    if (SameText(key, "Protocol")) {
      protocol = value;
      has_protocol = true;
    } else if (SameText(key, "Address")) {
      address = value;
      has_address = true;
    } else if (SameText(key, "Port")) {
      port = value;
      has_port = true;
    }
  }
  if (!found) {
    why = where + ": no such section";
    return false;
  }
  if (!has_protocol || !has_address || !has_port) {
    why = where + ": needs Protocol, Address and Port";
    return false;
  }
  if (!SameText(protocol, "IPv4")) {
    why = where + ": Protocol=" + protocol + " is not served (only IPv4)";
    return false;
  }
  if (address.empty() || !ParsePort(port, out.port)) {
    why = where + ": Address must name a host and Port be 1..65535";
    return false;
  }
  out.host = address;
  return true;
}

std::vector<std::string> ConfigFolders() { return {"", ProgramFolder()}; }

bool ResolveConnectionSettings(std::uint32_t config_index, const std::vector<std::string>& folders,
                               ConnectionSettings& out, std::string& why) {
  out.protocol = wire::kDefaultProtocol;
  const char* protocol = std::getenv(kProtocolVariable);
  if (protocol != nullptr && *protocol != '\0') {
    const std::string text(protocol);
    if (text.size() != 1 || !wire::IsKnownProtocol(static_cast<std::uint32_t>(text[0] - '0'))) {
      why = std::string("malformed ") + kProtocolVariable + " \"" + text + "\" (expected 2 to 6)";
      return false;
    }
    out.protocol = static_cast<std::uint32_t>(text[0] - '0');
  }
  const char* address = std::getenv(kAddressVariable);
  if (address != nullptr && *address != '\0') {
    if (!ParseSimAddress(address, out.address)) {
      why = std::string("malformed ") + kAddressVariable + " \"" + address +
            "\" (expected host:port)";
      return false;
    }
    out.source = kAddressVariable;
    return true;
  }
  for (const std::string& folder : folders) {
    const std::string path = JoinPath(folder, kConfigFileName);
    std::string text;
    if (!ReadWholeFile(path, text)) continue;
    out.source = path;
    return ReadConfigFile(text, path, config_index, out.address, why);
  }
  ParseSimAddress(kDefaultAddress, out.address);
  out.source = "default";
  return true;
}

}  // namespace skyhelm::simconnect
