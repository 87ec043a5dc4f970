// Tests for the connection settings: SimConnect.cfg sections and keys, the variables that override
// it, and an open that follows them to a scripted simulator.
#include "platform/simconnect/connection_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <SimConnect.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/platform/scripted_sim_server.h"

namespace skyhelm::simconnect {
namespace {

struct CfgCase {
  const char* name;
  const char* text;
  std::uint32_t index;
  const char* address;            // "host:port" when the section is usable, else nullptr
  const char* why = "";           // then a part of the one-line reason
  const char* section = nullptr;  // the section named there, when not [SimConnect.<index>]
};

void PrintTo(const CfgCase& c, std::ostream* os) { *os << c.name; }

class ConfigFile : public ::testing::TestWithParam<CfgCase> {};

TEST_P(ConfigFile, GivesTheSectionsAddressOrOneLineNamingFileAndSection) {
  const CfgCase& c = GetParam();
  SimAddress address;
  std::string why;
  const bool ok = ReadConfigFile(c.text, "dir/SimConnect.cfg", c.index, address, why);
  if (c.address != nullptr) {
    ASSERT_TRUE(ok) << why;
    EXPECT_EQ(address.host + ":" + std::to_string(address.port), c.address);
  } else {
    ASSERT_FALSE(ok);
    EXPECT_EQ(why.find('\n'), std::string::npos);
    const std::string section =
        c.section != nullptr ? c.section : "[SimConnect." + std::to_string(c.index) + "]";
    EXPECT_EQ(why.rfind("dir/SimConnect.cfg " + section + ": ", 0), 0u) << why;
    EXPECT_LT(why.size(), 200u) << why;
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
  }
}

constexpr const char* kTwoSections =
    "; remote simulators\r\n[SimConnect]\r\nProtocol=IPv4\r\nAddress=192.168.1.20\r\n"
    "Port=500\r\n\r\n[SimConnect.1]\nprotocol = ipv4\nMaxReceiveSize=4096\n"
    "address = sim-pc\nport = 47001\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigFile,
    ::testing::Values(
        CfgCase{"PlainSectionForIndexZero", kTwoSections, 0, "192.168.1.20:500"},
        CfgCase{"NumberedSectionKeysInAnyCaseOthersIgnored", kTwoSections, 1, "sim-pc:47001"},
        CfgCase{"ZeroSection", "[SimConnect.0]\nProtocol=IPv4\nAddress=h\nPort=1\n", 0, "h:1"},
        CfgCase{"FirstOfTwoEqualSections",
                "[SimConnect.2]\nProtocol=IPv4\nAddress=a\nPort=1\n"
                "[SimConnect.2]\nProtocol=IPv4\nAddress=b\nPort=2\n",
                2, "a:1"},
        CfgCase{"MissingSection", kTwoSections, 3, nullptr, "no such section"},
        CfgCase{"MissingSectionZero", "[SimConnect.1]\n", 0, nullptr, "no such section",
                "[SimConnect] or [SimConnect.0]"},
        CfgCase{"ByteOrderMark", "\xEF\xBB\xBF[SimConnect]\nProtocol=IPv4\nAddress=h\nPort=2\n", 0,
                "h:2"},
        CfgCase{"Utf16", "\xFF\xFE[", 0, nullptr, "UTF-16", "[SimConnect] or [SimConnect.0]"},
        CfgCase{"CommentsAfterValues",
                "[SimConnect]\nProtocol=IPv4 ; remote\nAddress=sim-pc\t; the PC\nPort=500 ;x\n", 0,
                "sim-pc:500"},
        CfgCase{"ForeignSectionsLeftAlone",
                "[Other]\njust words\n[half\n[SimConnect.1]\nProtocol=IPv4\nAddress=h\nPort=3\n"
                "[More]\nfree text\n",
                1, "h:3"},
        CfgCase{"Pipe", "[SimConnect]\nProtocol=Pipe\nAddress=.\nPort=Custom/SimConnect\n", 0,
                nullptr, "Protocol=Pipe is not served", "[SimConnect]"},
        CfgCase{
            "LongValueShownBounded",
            "[simconnect.0]\nProtocol=IPv4IPv4IPv4IPv4IPv4IPv4IPv4IPv4IPv4IPv4IPv4IPv4IPv4IPv4IPv4"
            "IPv4IPv4IPv4IPv4IPv4IPv4IPv4IPv4IPv4IPv4IPv4IPv4IPv4IPv4IPv4IPv4IPv4IPv4IPv4IPv4\n"
            "Address=h\nPort=1\n",
            0, nullptr, "... is not served", "[simconnect.0]"},
        CfgCase{"IPv6", "[SimConnect.0]\nProtocol=IPv6\nAddress=::1\nPort=501\n", 0, nullptr,
                "Protocol=IPv6 is not served"},
        CfgCase{"MissingPort", "[SimConnect.0]\nProtocol=IPv4\nAddress=h\n", 0, nullptr,
                "needs Protocol, Address and Port"},
        CfgCase{"EmptyAddress", "[SimConnect.0]\nProtocol=IPv4\nAddress=\nPort=500\n", 0, nullptr,
                "Address must name a host"},
        CfgCase{"BadPort", "[SimConnect.0]\nProtocol=IPv4\nAddress=h\nPort=70000\n", 0, nullptr,
                "Port be 1..65535"},
        CfgCase{"PortZero", "[SimConnect.0]\nProtocol=IPv4\nAddress=h\nPort=0\n", 0, nullptr,
                "Port be 1..65535"},
        CfgCase{"SemicolonInsideAValue", "[SimConnect]\nProtocol=IPv4\nAddress=sim;pc\nPort=5\n", 0,
                "sim;pc:5"},
        CfgCase{"NotKeyValue", "[SimConnect.0]\nProtocol IPv4\n", 0, nullptr, "line 2"},
        CfgCase{"UnclosedHeader", "[SimConnect\nProtocol=IPv4\n", 0, nullptr, "no such section",
                "[SimConnect] or [SimConnect.0]"}),
    [](const auto& test) { return std::string(test.param.name); });

// The variables override the file; the first folder holding a file is the one read.
class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ =
        std::filesystem::temp_directory_path() / ("skyhelm-settings-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override {
    unsetenv(kAddressVariable);
    unsetenv(kProtocolVariable);
    std::filesystem::remove_all(folder_);
  }
  void WriteConfig(const std::string& text) { std::ofstream(folder_ / kConfigFileName) << text; }

  std::filesystem::path folder_;
};

TEST_F(Settings, VariablesOverrideTheFileWhichOverridesTheDefault) {
  const std::vector<std::string> folders = {(folder_ / "none").string(), folder_.string()};
  ConnectionSettings settings;
  std::string why;
  ASSERT_TRUE(ResolveConnectionSettings(0, folders, settings, why)) << why;
  EXPECT_EQ(settings.address.host + ":" + std::to_string(settings.address.port), kDefaultAddress);
  EXPECT_EQ(settings.protocol, 4u);
  WriteConfig("[SimConnect]\nProtocol=IPv4\nAddress=10.0.0.7\nPort=500\n");
  ASSERT_TRUE(ResolveConnectionSettings(0, folders, settings, why)) << why;
  EXPECT_EQ(settings.address.host, "10.0.0.7");
  EXPECT_FALSE(ResolveConnectionSettings(1, folders, settings, why));
  setenv(kAddressVariable, "127.0.0.1:9", 1);
  setenv(kProtocolVariable, "6", 1);
  ASSERT_TRUE(ResolveConnectionSettings(1, folders, settings, why)) << why;
  EXPECT_EQ(settings.address.port, 9u);
  EXPECT_EQ(settings.protocol, 6u);
  for (const char* bad : {"1", "7", "44", "x", " 4"}) {
    setenv(kProtocolVariable, bad, 1);
    EXPECT_FALSE(ResolveConnectionSettings(0, folders, settings, why)) << bad;
    EXPECT_NE(why.find(kProtocolVariable), std::string::npos) << why;
  }
}

// What is not a regular file of a few KiB is refused at once (a FIFO never blocks the open), and
// the message names the file.
TEST_F(Settings, RefusesAFileThatIsNotRegularOrTooLarge) {
  const std::filesystem::path path = folder_ / kConfigFileName;
  const std::vector<std::string> folders = {folder_.string()};
  ConnectionSettings settings;
  std::string why;
  std::filesystem::create_directory(path);
  EXPECT_FALSE(ResolveConnectionSettings(0, folders, settings, why));
  EXPECT_EQ(why, path.string() + ": not a regular file");
  std::filesystem::remove(path);
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  EXPECT_FALSE(ResolveConnectionSettings(0, folders, settings, why));
  EXPECT_EQ(why, path.string() + ": not a regular file");
  std::filesystem::remove(path);
  WriteConfig("[SimConnect]\nProtocol=IPv4\nAddress=h\nPort=1\n" + std::string(64 * 1024, ';'));
  EXPECT_FALSE(ResolveConnectionSettings(0, folders, settings, why));
  EXPECT_EQ(why, path.string() + ": larger than 64 KiB");
}

// SimConnect_Open reads SimConnect.cfg from the working directory and speaks the chosen version.
TEST_F(Settings, OpenFollowsTheFileInTheWorkingDirectory) {
  test_support::ScriptedSimServer server;
  const std::string port = server.Address().substr(server.Address().rfind(':') + 1);
  WriteConfig("[SimConnect.3]\nProtocol=IPv4\nAddress=127.0.0.1\nPort=" + port +
              "\n[SimConnect.4]\nProtocol=Pipe\nAddress=.\nPort=x\n");
  const auto before = std::filesystem::current_path();
  std::filesystem::current_path(folder_);
  setenv(kProtocolVariable, "5", 1);
  HANDLE handle = nullptr;
  ::testing::internal::CaptureStderr();
  EXPECT_LT(SimConnect_Open(&handle, "Request Data", nullptr, 0, nullptr, 4), 0);
  const std::string err = ::testing::internal::GetCapturedStderr();
  // Named in full: a file in the working directory wins over one beside the program.
  EXPECT_EQ(err, "SimConnect_Open failed: " +
                     (std::filesystem::current_path() / kConfigFileName).string() +
                     " [SimConnect.4]: Protocol=Pipe is not served (only IPv4)\n");
  const HRESULT opened = SimConnect_Open(&handle, "Request Data", nullptr, 0, nullptr, 3);
  std::filesystem::current_path(before);
  ASSERT_EQ(opened, S_OK);
  SimConnect_Close(handle);
  ASSERT_TRUE(server.WaitForRequests(1));
  EXPECT_EQ(server.Requests()[0].protocol, 5u);
  EXPECT_EQ(server.Requests()[0].open.version.major, 11u);
}

}  // namespace
}  // namespace skyhelm::simconnect
