// The probe data of a loaded snapshot: the Java part's payloads, given as
// literal bytes, answer the probe commands; a damaged part answers nothing.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "ByteArrayDataReader.h"
#include "CharVectorDataWriter.h"
#include "LoadedProbes.h"
#include "SnapshotProfilingSession.h"

namespace {

typedef std::vector<unsigned char> Bytes;

// byte 1, U4 1 probe: UTF "p.X", U4 3 calls, JLong 258 us, U4 4 and four row
// bytes, U4 1 id: 7.
const Bytes ONE_PROBE = {1, 0, 0, 0, 1, 0, 3, 'p', '.', 'X', 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 1, 2,
                         0, 0, 0, 4, 0xA, 0xB, 0xC, 0xD, 0, 0, 0, 1, 0, 0, 0, 7};

Bytes answer(const LoadedProbes &probes, uint32_t command, const Bytes &request)
{
    SnapshotProfilingSession session;
    ByteArrayDataReader in(request.data(), static_cast<int>(request.size()));
    CharVectorDataWriter out;
    // The rows of the command table these three commands have.
    if (command == 62)
        probes.handleCmdProbeDescriptions(&out, session.getCpuSession());
    else if (command == 85)
        probes.handleCmdProbeTupleData(&in, &out, session.getCpuSession(), *session.getClassProfilingSession());
    else if (command == 86)
        probes.handleCmdProbeTelemetry(&out);
    out.flush();
    return Bytes(out.getBytes().begin(), out.getBytes().end());
}

} // namespace

TEST(LoadedProbesTest, ThePayloadsAnswerTheTelemetryAndTheRowsOfTheirProbe)
{
    LoadedProbes probes;
    ASSERT_TRUE(probes.parse(ONE_PROBE));
    EXPECT_EQ(answer(probes, 86, {}), (Bytes{1, 0, 0, 0, 1, 0, 3, 'p', '.', 'X', 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 1, 2}));
    Bytes rows = answer(probes, 85, {0, 3, 'p', '.', 'X'});
    const Bytes head = {0, 3, 'p', '.', 'X', 1, 0xA, 0xB, 0xC, 0xD};
    ASSERT_GT(rows.size(), head.size());
    EXPECT_EQ(Bytes(rows.begin(), rows.begin() + static_cast<long>(head.size())), head);
    // A probe the snapshot has no rows of: its name and byte 0.
    EXPECT_EQ(answer(probes, 85, {0, 1, 'q'}), (Bytes{0, 1, 'q', 0}));
    // No descriptions were read: U4 0.
    EXPECT_EQ(answer(probes, 62, {}), (Bytes{0, 0, 0, 0}));
}

TEST(LoadedProbesTest, AnEmptyOrDamagedPartHasNoProbes)
{
    const Bytes empty = {0, 0, 0, 0, 0, 0, 0, 0};
    Bytes twoClaimed = ONE_PROBE;
    twoClaimed[4] = 2;
    Bytes cut(ONE_PROBE.begin(), ONE_PROBE.end() - 3);
    struct Case {
        const char *name;
        Bytes part;
        bool parsed;
    } cases[] = {{"empty part", empty, true}, {"two probes claimed, one there", twoClaimed, false}, {"cut short", cut, false}};
    for (const Case &c : cases) {
        LoadedProbes probes;
        ASSERT_TRUE(probes.parse(ONE_PROBE));
        EXPECT_EQ(probes.parse(c.part), c.parsed) << c.name;
        EXPECT_EQ(answer(probes, 86, {}), (Bytes{0})) << c.name;
    }
}
