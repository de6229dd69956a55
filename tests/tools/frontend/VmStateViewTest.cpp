// The front end's reading of the VM state poll (command 59), from literal bytes.
#include <gtest/gtest.h>

#include "Registry.h"
#include "VmStateView.h"

namespace {

const std::vector<uint8_t> REPLY = {
    0x00, 0x00, 0x00, 0x02,                                                 // the VM's end waits
    0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, // switches and flags
    0x00, 0x00, 0x00, 0x03, 0xaa, 0xbb, 0xcc,                               // the probes to record
    0x01, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                   // auto-tuned method 0x10 (ID, host order)
    0x00,                                                                   // no more
    0x00, 0x00, 0x00, 0x00, 0x00, 0x0f, 0x42, 0x40,                         // now: 1,000,000 us
    0x00, 0x00, 0x00, 0x00, 0x65, 0x00, 0x00, 0x00,                         // VM start: second 0x65000000
    0x01, 0x20, 0, 0, 0, 0, 0, 0, 0, 0x30, 0, 0, 0, 0, 0, 0, 0,             // method 0x20 of class 0x30
    0x00, 0x03, 'r', 'u', 'n', 0x00, 0x03, '(', ')', 'V', 0x00,             // "run" "()V", no more methods
    0x00,                                                                   // no classes
};

TEST(VmStateViewTest, ReadsTheStateTheFlagsTheProbesAndTheDescriptions)
{
    Registry registry;
    VmStateReply state;
    ASSERT_TRUE(VmStateView::readVmStateReply(REPLY, 8, &registry, &state));
    EXPECT_EQ(state.status, VmStateView::VM_WAITS_AT_ITS_END);
    const uint8_t switches[13] = {1, 0, 0, 0, 1, 0, 0, 1, 0, 1, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(state.switches, state.switches + 13), std::vector<uint8_t>(switches, switches + 13));
    EXPECT_EQ(state.probeState, (std::vector<uint8_t>{0xaa, 0xbb, 0xcc}));
    EXPECT_EQ(state.autoTunedMethods, (std::vector<uint64_t>{0x10}));
    EXPECT_EQ(state.time, 1000000);
    EXPECT_EQ(state.vmStartWallClock, 0x65000000);
    ASSERT_NE(registry.method(0x20), nullptr);
    EXPECT_EQ(registry.method(0x20)->name, "run");
}

// The agent names each method auto-tuning took the hooks from once: the
// registry keeps it for the later polls, which name none.
TEST(VmStateViewTest, TheRegistryKeepsTheMethodsAutoTuningTookTheHooksFrom)
{
    Registry registry;
    VmStateReply state;
    ASSERT_TRUE(VmStateView::readVmStateReply(REPLY, 8, &registry, &state));
    EXPECT_TRUE(registry.hooksRemoved(0x10));
    EXPECT_FALSE(registry.hooksRemoved(0x20));
    std::vector<uint8_t> none = REPLY;
    none.erase(none.begin() + 24, none.begin() + 33); // the ID and its byte 1
    ASSERT_TRUE(VmStateView::readVmStateReply(none, 8, &registry, &state));
    EXPECT_TRUE(state.autoTunedMethods.empty());
    EXPECT_TRUE(registry.hooksRemoved(0x10));
}

TEST(VmStateViewTest, RefusesCutAndOverlongReplies)
{
    Registry registry;
    VmStateReply state;
    for (size_t cut : {size_t(2), size_t(17), size_t(20), size_t(30), REPLY.size() - 1}) {
        SCOPED_TRACE(cut);
        EXPECT_FALSE(VmStateView::readVmStateReply(std::vector<uint8_t>(REPLY.begin(), REPLY.begin() + static_cast<long>(cut)), 8, &registry,
                                                   &state));
    }
    std::vector<uint8_t> longer = REPLY;
    longer.push_back(0);
    EXPECT_FALSE(VmStateView::readVmStateReply(longer, 8, &registry, &state));
    // A probe length beyond the reply.
    std::vector<uint8_t> probes = REPLY;
    probes[20] = 0xff;
    EXPECT_FALSE(VmStateView::readVmStateReply(probes, 8, &registry, &state));
}

} // namespace
