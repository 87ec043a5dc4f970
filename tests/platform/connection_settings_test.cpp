// The connection settings: SimConnect.cfg sections and keys, the variables that override it, and
// the open that reads them.
#include "platform/simconnect/connection_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <SimConnect.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace skyhelm::simconnect {
namespace {

constexpr const char* kTwoSections =
    "; remote simulators\r\n[SimConnect]\r\nProtocol=IPv4\r\nAddress=192.168.1.20\r\n"
    "Port=500\r\n\r\n[SimConnect.1]\nprotocol = ipv4\nMaxReceiveSize=4096\n"
    "address = sim-pc\nport = 47001\n";
constexpr const char* kZero = "f [SimConnect] or [SimConnect.0]: ";
const std::string kLong(140, 'P');

// "host:port" of the section read, or the one-line reason naming file and section.
TEST(ConfigFile, GivesTheSectionsAddressOrOneLineNamingFileAndSection) {
  const struct {
    std::string text;
    std::uint32_t index;
    std::string expected;
  } cases[] = {
      {kTwoSections, 0, "192.168.1.20:500"},
      {kTwoSections, 1, "sim-pc:47001"},
      {kTwoSections, 3, "f [SimConnect.3]: no such section"},
      {"[SimConnect.1]\n", 0, kZero + std::string("no such section")},
      {"\xFF\xFE[", 0, kZero + std::string("saved as UTF-16; save it as ANSI or UTF-8")},
      {"\xEF\xBB\xBF[SimConnect.2]\nProtocol=IPv4\nAddress=a\nPort=1\n"  // a UTF-8 BOM, then
       "[SimConnect.2]\nProtocol=IPv4\nAddress=b\nPort=2\n",  // the first of two same sections
       2, "a:1"},
      {"[SimConnect]\nProtocol=IPv4 ; remote\nAddress=sim-pc\t; the PC\nPort=500 ;x\n", 0,
       "sim-pc:500"},
      {"[SimConnect]\nProtocol=IPv4\nAddress=sim;pc\nPort=5\n", 0, "sim;pc:5"},
      {"[Other]\njust words\n[half\n[SimConnect.1]\nProtocol=IPv4\nAddress=h\nPort=3\n"
       "[More]\nfree text\n",
       1, "h:3"},
      {"[SimConnect]\nProtocol=Pipe\nAddress=.\nPort=Custom/SimConnect\n", 0,
       "f [SimConnect]: Protocol=Pipe is not served (only IPv4)"},
      {"[simconnect.0]\nProtocol=" + kLong + "\nAddress=h\nPort=1\n", 0,
       "f [simconnect.0]: Protocol=" + kLong.substr(0, 60) + "... is not served (only IPv4)"},
      {"[SimConnect.0]\nProtocol=IPv4\nAddress=h\n", 0,
       "f [SimConnect.0]: needs Protocol, Address and Port"},
      {"[SimConnect.0]\nProtocol=IPv4\nAddress=h\nPort=0\n", 0,
       "f [SimConnect.0]: Address must name a host and Port be 1..65535"},
      {"[SimConnect.0]\nProtocol IPv4\n", 0, "f [SimConnect.0]: line 2 is not key=value"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    SimAddress address;
    std::string why;
    const bool ok = ReadConfigFile(c.text, "f", c.index, address, why);
    EXPECT_EQ(ok ? address.host + ":" + std::to_string(address.port) : why, c.expected);
  }
}

// The variables override the file, which overrides the default; the first folder holding a file
// is read; what is not a regular file of at most 64 KiB is refused at once (a FIFO never blocks).
TEST(Settings, VariablesOverrideTheFileWhichOverridesTheDefault) {
  const auto folder =
      std::filesystem::temp_directory_path() / ("skyhelm-settings-" + std::to_string(::getpid()));
  const auto file = folder / kConfigFileName;
  const std::string ten = "[SimConnect]\nProtocol=IPv4\nAddress=10.0.0.7\nPort=500\n";
  const struct {
    std::string file;  // "": none; "<fifo>": not a regular file
    const char* address_variable;
    const char* protocol_variable;
    std::uint32_t index;
    std::string expected;  // "host:port protocol", or the reason, the file's path as F
  } cases[] = {
      {"", nullptr, nullptr, 0, std::string(kDefaultAddress) + " 4"},
      {ten, "", "", 0, "10.0.0.7:500 4"},
      {ten, nullptr, nullptr, 1, "F [SimConnect.1]: no such section"},
      {ten, "127.0.0.1:9", "6", 1, "127.0.0.1:9 6"},
      {"", "127.0.0.1", nullptr, 0,
       "malformed SKYHELM_SIM_ADDRESS \"127.0.0.1\" (expected host:port)"},
      {"", nullptr, "1", 0, "malformed SKYHELM_SIM_PROTOCOL \"1\" (expected 2 to 6)"},
      {"", nullptr, "7", 0, "malformed SKYHELM_SIM_PROTOCOL \"7\" (expected 2 to 6)"},
      {"", nullptr, "44", 0, "malformed SKYHELM_SIM_PROTOCOL \"44\" (expected 2 to 6)"},
      {"<fifo>", nullptr, nullptr, 0, "F: not a regular file"},
      {ten + std::string(64 * 1024 + 1 - ten.size(), ';'), nullptr, nullptr, 0,
       "F: larger than 64 KiB"},
      {ten + std::string(64 * 1024 - ten.size(), ';'), nullptr, nullptr, 0, "10.0.0.7:500 4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    std::filesystem::create_directories(folder);
    if (c.file == "<fifo>") {
      ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    } else if (!c.file.empty()) {
      std::ofstream(file) << c.file;
    }
    for (const auto& [name, value] : {std::pair{kAddressVariable, c.address_variable},
                                      std::pair{kProtocolVariable, c.protocol_variable}}) {
      value != nullptr ? setenv(name, value, 1) : unsetenv(name);
    }
    ConnectionSettings s;
    std::string why;
    const std::vector<std::string> folders = {(folder / "none").string(), folder.string()};
    const bool ok = ResolveConnectionSettings(c.index, folders, s, why);
    if (why.rfind(file.string(), 0) == 0) why.replace(0, file.string().size(), "F");
    EXPECT_EQ(ok ? s.address.host + ":" + std::to_string(s.address.port) + " " +
                       std::to_string(s.protocol)
                 : why,
              c.expected);
    std::filesystem::remove_all(folder);
  }
}

// SimConnect_Open reads SimConnect.cfg from the working directory, names it in full and takes the
// section of its index.
TEST(Settings, OpenReadsTheFileInTheWorkingDirectory) {
  const auto folder =
      std::filesystem::temp_directory_path() / ("skyhelm-open-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  std::ofstream(folder / kConfigFileName) << "[SimConnect.4]\nProtocol=Pipe\nAddress=.\nPort=x\n";
  const auto before = std::filesystem::current_path();
  std::filesystem::current_path(folder);
  HANDLE handle = nullptr;
  ::testing::internal::CaptureStderr();
  EXPECT_LT(SimConnect_Open(&handle, "Request Data", nullptr, 0, nullptr, 4), 0);
  std::filesystem::current_path(before);
  std::filesystem::remove_all(folder);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "SimConnect_Open failed: " + (folder / kConfigFileName).string() +
                " [SimConnect.4]: Protocol=Pipe is not served (only IPv4)\n");
}

}  // namespace
}  // namespace skyhelm::simconnect
