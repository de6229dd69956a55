#ifndef KVR_TESTS_LAYOUTTESTSUPPORT_H
#define KVR_TESTS_LAYOUTTESTSUPPORT_H

/*
 * A layout manager on a private card root, initialised and pre-started as the
 * service manager does it, with the head flags set as the platform start-up
 * sets them. Messages are served on the test's own thread.
 */

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "layoutManager/layoutManagerPrivate.h"
#include "main/startup.h"
#include "serviceManager/serviceManager.h"

#include "../main/FirmwareTestSupport.h"

namespace layoutTest {

inline std::vector<uint8_t> pcode(uint8_t classCode, uint8_t id, const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> p(4 + data.size());
    p[0] = classCode;
    p[1] = id;
    p[2] = (uint8_t)(data.size() >> 8);
    p[3] = (uint8_t)data.size();
    std::copy(data.begin(), data.end(), p.begin() + 4);
    return p;
}

/* One sub-module call as the layout thread traces it. */
struct Call {
    int head;
    std::string name;
    unsigned headEvent;
    unsigned target;
    bool operator==(const Call &o) const
    {
        return head == o.head && name == o.name && headEvent == o.headEvent && target == o.target;
    }
};

inline std::ostream &operator<<(std::ostream &out, const Call &c)
{
    return out << "{head " << c.head << " " << c.name << " 0x" << std::hex << c.headEvent << " 0x" << c.target
               << std::dec << "}";
}

/* The sub-module calls traced in a piece of log text, in order. */
inline std::vector<Call> callsIn(const std::string &text)
{
    static const std::regex line("notifySubModulesOfChange: head (\\d+) calls (\\S+) headEvent 0x([0-9a-f]+) "
                                 "target 0x([0-9a-f]+)");
    std::vector<Call> calls;
    for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
        calls.push_back({std::stoi((*it)[1]), (*it)[2], (unsigned)std::stoul((*it)[3], nullptr, 16),
                         (unsigned)std::stoul((*it)[4], nullptr, 16)});
    return calls;
}

inline deviceSubmoduleInstance *findInstance(const deviceSubmodule *descriptor, uint32_t head, int nth = 0)
{
    for (int i = 0; layoutManagerSubmoduleInstanceAt(i); i++) {
        deviceSubmoduleInstance *instance = layoutManagerSubmoduleInstanceAt(i);
        if (instance->descriptor == descriptor && instance->head == head && nth-- == 0)
            return instance;
    }
    return nullptr;
}

class LayoutFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        log();
        root = dir.path() + "/root";
        for (const char *d : {"/root", "/root/usr", "/root/usr/local", "/root/usr/local/q7",
                              "/root/usr/local/q7/firmware"})
            mkdir((dir.path() + d).c_str(), 0755);
        setenv("KVR_ROOT", root.c_str(), 1);
        ASSERT_UNDER_CARD_ROOT();
        static const layoutPcodeRemap initial[LAYOUT_HEAD_COUNT] = {{0, 4, 0, 0}, {1, 4, 1, 0}, {2, 5, 0, 0}, {3, 5, 1, 0}};
        memcpy(layoutPcodeRemapTable, initial, sizeof initial);
        prepareFiles();
        mainRegisterModules();
        initService(&layoutManagerService);
        layoutManagerTargetEventApplyCardSlot(0);
        layoutManagerService.preStart(&layoutManagerService);
        targetSet4kMode(0);
    }
    void TearDown() override
    {
        drain();
        unsetenv("KVR_ROOT");
    }
    /* Files to place before the service's init (layout.bin and its default). */
    virtual void prepareFiles() {}

    static firmwareTest::TestLog &log() { return firmwareTest::TestLog::instance(); }
    std::string firmwareDir() const { return root + "/usr/local/q7/firmware"; }

    /* Serves everything queued; returns the number of messages served. */
    static int drain()
    {
        int served = 0;
        while (layoutManagerServeNext(0))
            served++;
        return served;
    }
    static void post(const std::vector<uint8_t> &p) { layoutClassPcodeHandler(p.data(), (uint32_t)p.size()); }
    /* Posts, serves and returns the sub-module calls it caused. */
    std::vector<Call> postAndServe(const std::vector<uint8_t> &p)
    {
        size_t mark = log().mark();
        post(p);
        drain();
        return callsIn(log().since(mark));
    }

    TempDir dir;
    std::string root;
};

} // namespace layoutTest

#endif
