// Where the client library connects and which protocol version it speaks, taken the way the
// simulator's own library takes them: SimConnect.cfg, overridden by Skyhelm's variables.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace skyhelm::simconnect {

// Where the simulator listens, from "host:port".
struct SimAddress {
  std::string host;
  std::uint16_t port = 0;
};

inline constexpr const char* kAddressVariable = "SKYHELM_SIM_ADDRESS";
inline constexpr const char* kProtocolVariable = "SKYHELM_SIM_PROTOCOL";
inline constexpr const char* kDefaultAddress = "127.0.0.1:47000";
inline constexpr const char* kConfigFileName = "SimConnect.cfg";

// Parses "host:port" (the last colon separates them). False when there is no colon, the host is
// empty, or the port is not a decimal number in 1..65535.
bool ParseSimAddress(const char* text, SimAddress& out);

struct ConnectionSettings {
  SimAddress address;
  std::uint32_t protocol = 0;
  std::string source;  // what the address came from, for messages
};

// Reads the section for `config_index` ([SimConnect.N]; index 0 also [SimConnect]) of a
// SimConnect.cfg whose text is `text`, read from `file`, as the simulator's library reads it:
// names and keys in any case, ';' comment lines (also after a value, following a blank), a UTF-8
// byte-order mark, other sections left alone whatever they hold. Keys Protocol (only IPv4 is
// served), Address and Port; other keys are ignored. False with one line in `why` naming the file
// and the section as the file wrote it when the section is missing or malformed.
bool ReadConfigFile(const std::string& text, const std::string& file, std::uint32_t config_index,
                    SimAddress& out, std::string& why);

// The folders searched for SimConnect.cfg, in order, each as a full path: the working directory,
// then the folder of the running program.
std::vector<std::string> ConfigFolders();

// `text` as a message may show it: at most 60 bytes (then "..."), control bytes as '.'.
std::string ShownValue(const std::string& text);

// Settings for SimConnect_Open(..., ConfigIndex): the protocol from SKYHELM_SIM_PROTOCOL (2..6,
// default 4); the address from SKYHELM_SIM_ADDRESS, else the first SimConnect.cfg found in
// `folders`, else 127.0.0.1:47000. False with one line in `why` for a malformed value or file, or
// a SimConnect.cfg that is not a regular file of at most 64 KiB (never waits on a FIFO).
bool ResolveConnectionSettings(std::uint32_t config_index, const std::vector<std::string>& folders,
                               ConnectionSettings& out, std::string& why);

}  // namespace skyhelm::simconnect
