// Feeds arbitrary bytes to the agent's request reader as a front end would
// send them: the communicator's framing (sizes three times, CRC, recovery),
// the command table and every payload parser behind it, over a CPU session
// that has recorded a small call tree. The session configuration of command 1
// is read by the real reader; the other commands of the VM edge need a JVM
// and only read their payload here.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "ByteArrayDataReader.h"
#include "CharVectorDataWriter.h"
#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "Communicator.h"
#include "CpuProfilingSession.h"
#include "DataReader.h"
#include "LiveThreadManager.h"
#include "MethodDesc.h"
#include "ProfilingSession.h"
#include "SessionConfig.h"
#include "Transport.h"
#include "VmCommands.h"
#include "VmInterface.h"

namespace {

// The requests are the input; the replies go to memory and are dropped.
class MemoryTransport : public Transport {
public:
    MemoryTransport(const uint8_t *data, size_t size) : in(data, static_cast<int>(size)) {}
    bool connect() override { return true; }
    void disconnect() override {}
    bool acknowledges() const override { return true; }
    DataReader *reader() override { return &in; }
    DataWriter *writer() override { return &out; }

private:
    ByteArrayDataReader in;
    CharVectorDataWriter out;
};

// A VM with a clock that moves and no stacks to give.
class StillVm : public VmInterface {
public:
    long long now = 1000;
    long long getUsec() override { return now += 7; }
    long long getCurrentThreadCpuUsec() override { return -1; }
    bool getStackTrace(std::vector<StackFrame> *out) override
    {
        out->clear();
        return true;
    }
    bool getThreadStacks(const std::vector<void *> &, std::vector<std::vector<StackFrame>> *) override { return false; }
};

// The VM edge's commands: command 1's configuration through the real
// reader, the rest read their switches and names as the live edge does.
class PayloadOnlyVmCommands : public VmCommands {
public:
    void frontendSeen() override {}
    void handleCmdSetParameters(DataReader *reader, DataWriter *writer, Communicator &connection) override
    {
        if (reader->readByte(0) == 1) {
            SessionConfig received;
            received.read(reader);
        }
        writer->writeByte(1);
        connection.markConnected();
    }
    void handleCmdForceGc() override {}
    void handleCmdGetParameters(DataWriter *) override {}
    void handleCmdGetVmState(DataWriter *) override {}
    void handleCmdThreadProfiling(DataReader *reader) override { reader->readByte(0); }
    void handleCmdHprofDump(DataReader *reader, DataWriter *writer) override
    {
        delete[] reader->readString(nullptr);
        reader->readByte(0);
        writer->writeByte(0);
    }
    void handleCmdEnableTriggers(DataReader *reader) override { reader->readByte(0); }
    void handleCmdEnableTriggerGroups(DataReader *reader) override
    {
        reader->readByte(0);
        uint32_t count = reader->readU4(0);
        for (uint32_t i = 0; i < count && !reader->getError(); i++)
            delete[] reader->readString(nullptr);
    }
    void handleCmdGetLoadInfo(DataWriter *writer, uint32_t) override { writer->writeByte(0); }
    void setMonitorProfiling(bool) override {}
    void connectionEnded(const Communicator &) override {}
};

class FuzzSession : public ProfilingSession {
public:
    ClassProfilingSession classes{this};
    ClassProfilingSession *getClassProfilingSession() override { return &classes; }
};

// Removes what a request left in the private temporary directory (command
// 44 may ask for a temporary file).
void emptyTmp()
{
    const char *dir = getenv("TMPDIR");
    if (dir == nullptr)
        return;
    DIR *d = opendir(dir);
    if (d == nullptr)
        return;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            unlink((std::string(dir) + "/" + name).c_str());
    }
    closedir(d);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzSession session;
    StillVm vm;
    CpuProfilingSession cpu(&session, &vm, CpuProfilingSession::Settings());
    PayloadOnlyVmCommands vmCommands;

    // A small recorded tree: main calling a twice and b once, b calling a.
    ClassData *cls = new ClassData("p.Work", &session.classes);
    session.classes.addClassData(cls);
    int32_t ids[3];
    const char *names[] = {"main", "a", "b"};
    for (int i = 0; i < 3; i++) {
        MethodDesc *m = new MethodDesc(cls, names[i], -1, "()V", -1, &session.classes, cls->getClassName());
        session.classes.addMethodDesc(m);
        ids[i] = cpu.getMethodHandles().getHandle(m);
    }
    cpu.setCpuRecord(true, true);
    LiveThreadManager *thread = cpu.createThreadManager();
    const int32_t calls[][2] = {{0, 1}, {1, 1}, {1, -1}, {1, 1}, {1, -1}, {2, 1}, {1, 1}, {1, -1}, {2, -1}, {0, -1}};
    for (const auto &c : calls) {
        if (c[1] > 0)
            cpu.agentMethodEntry(thread, ids[c[0]], 0, false, false, true);
        else
            cpu.agentMethodExit(thread, ids[c[0]], false);
    }

    MemoryTransport transport(data, size);
    Communicator communicator(transport, CommandOwners{&session, &cpu, &vmCommands});
    communicator.setBrokenRequestPause(0);
    communicator.process();
    emptyTmp();
    return 0;
}
