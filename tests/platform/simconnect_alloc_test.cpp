// Checks that the client library's per-pass calls do not touch the heap once warmed up. Replaces
// the global allocation functions for this binary to count this thread's allocations.
#include <gtest/gtest.h>

#include <SimConnect.h>

#include <cstdlib>
#include <new>
#include <thread>

#include "tests/platform/scripted_sim_server.h"
#include "tests/platform/sim_client_fixture.h"

namespace {

thread_local bool counting = false;
thread_local std::size_t allocations = 0;

}  // namespace

void* operator new(std::size_t size) {
  if (counting) ++allocations;
  if (void* block = std::malloc(size != 0 ? size : 1)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace skyhelm::testing {
namespace {

std::size_t delivered = 0;
void CALLBACK CountMessage(SIMCONNECT_RECV*, DWORD, void*) { ++delivered; }

TEST_F(SimClientTest, TransmitAndDispatchDoNotAllocateOnceWarm) {
  ScriptedSimServer server;
  OpenAndDrain(server);
  std::vector<std::uint8_t> burst;
  for (int i = 0; i < 200; ++i) {
    const std::vector<std::uint8_t> message = i % 2 ? DataMessage(1) : OddMessage();
    burst.insert(burst.end(), message.begin(), message.end());
  }
  ASSERT_TRUE(server.Send(burst));
  delivered = 0;
  counting = true;
  for (int pass = 0; pass < 2000 && delivered < 200; ++pass) {
    SimConnect_CallDispatch(handle_, &CountMessage, nullptr);
    SimConnect_TransmitClientEvent(handle_, 0, 1, 270, 1900000000u, 0x10);
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  counting = false;
  EXPECT_EQ(delivered, 200u);
  EXPECT_EQ(allocations, 0u);
}

}  // namespace
}  // namespace skyhelm::testing
