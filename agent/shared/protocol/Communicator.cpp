#include "Communicator.h"

#include <chrono>
#include <thread>
#include <vector>

#include "ByteArrayDataReader.h"
#include "ClassProfilingSession.h"
#include "Counter.h"
#include "Crc32.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "MessageUtil.h"
#include "ProfilingSession.h"

const unsigned char Communicator::END_MARKER[8] = {0xBC, 0xC0, 0x89, 0x30, 0x77, 0x71, 0x17, 0xFA};

namespace {

const int BROKEN_REQUEST_PAUSE_MS = 1000;

// The commands every communicator answers, each with the owner's handler.
struct BaseCommand {
    uint32_t command;
    void (*handle)(ProfilingSession *session, DataReader *reader, DataWriter *writer);
};

const BaseCommand BASE_COMMANDS[] = {
    {Communicator::CMD_GET_STATE,
     [](ProfilingSession *session, DataReader *reader, DataWriter *writer) { session->handleCmdGetState(reader, writer); }},
    {Communicator::CMD_SET_VIEW_FILTER,
     [](ProfilingSession *session, DataReader *reader, DataWriter *) {
         if (ClassProfilingSession *classes = session->getClassProfilingSession())
             classes->handleCmdSetViewFilter(reader);
     }},
    {Communicator::CMD_GET_CLASSES,
     [](ProfilingSession *session, DataReader *, DataWriter *writer) {
         if (ClassProfilingSession *classes = session->getClassProfilingSession())
             classes->handleCmdGetClasses(writer);
     }},
};

const BaseCommand *findBaseCommand(uint32_t command)
{
    for (const BaseCommand &row : BASE_COMMANDS) {
        if (row.command == command)
            return &row;
    }
    return nullptr;
}

} // namespace

Communicator::Communicator(ProfilingSession *session)
    : finished(0), exitProcess(0), interruptProcess(0), ended(0), listenFailed(0), acknowledge(1), status(STATUS_WAITING),
      writer(nullptr), reader(nullptr), session(session), payloadReader(new ByteArrayDataReader(nullptr, 0)),
      brokenPauseMs(BROKEN_REQUEST_PAUSE_MS)
{
}

Communicator::~Communicator()
{
    setStreams(nullptr, nullptr);
    delete payloadReader;
}

void Communicator::setStreams(DataReader *newReader, DataWriter *newWriter)
{
    if (reader != newReader)
        delete reader;
    if (writer != newWriter)
        delete writer;
    reader = newReader;
    writer = newWriter;
}

void Communicator::run()
{
    if (status == STATUS_CONNECTED || establishConnection()) {
        if (!process())
            return;
        if (status == STATUS_CONNECTED)
            status = STATUS_CLEANED_UP;
    }
    cleanupConnection();
}

bool Communicator::process()
{
    while (!ended && !finished) {
        if (!processSingle())
            return false;
    }
    return true;
}

void Communicator::flush()
{
    if (writer != nullptr)
        writer->flush();
}

void Communicator::writeReplyHeader(uint32_t command, uint32_t requestId)
{
    writer->writeJLong(session->getVmStartTime());
    writer->writeU4(command);
    writer->writeJLong(Counter::getUsec());
    writer->writeU4(requestId);
}

void Communicator::sendAcknowledge(bool broken)
{
    if (!acknowledge)
        return;
    writer->writeByte(broken ? 1 : 0);
    writer->flush();
}

void Communicator::pauseAfterBrokenRequest()
{
    if (brokenPauseMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(brokenPauseMs));
}

bool Communicator::readSize(uint32_t *size)
{
    uint32_t sizes[3];
    for (uint32_t &s : sizes)
        s = reader->readU4(0);
    if (sizes[0] == sizes[1] || sizes[0] == sizes[2]) {
        *size = sizes[0];
    } else if (sizes[1] == sizes[2]) {
        *size = sizes[1];
    } else {
        MessageUtil::message("comm error: 3 different command sizes %d %d %d", static_cast<int>(sizes[0]),
                             static_cast<int>(sizes[1]), static_cast<int>(sizes[2]));
        pauseAfterBrokenRequest();
        return false;
    }
    if (*size > MAX_PAYLOAD_SIZE) {
        MessageUtil::message("comm error: command size %u above the limit of %u", *size, MAX_PAYLOAD_SIZE);
        pauseAfterBrokenRequest();
        return false;
    }
    return true;
}

void Communicator::recover()
{
    MessageUtil::message("trying to recover\n");
    int zeros = 0;
    for (;;) {
        int b = reader->readByte(-1);
        if (b < 0 || reader->getError())
            return;
        if (b == 1 && zeros > RESYNC_ZERO_BYTES)
            return;
        if (b == 0)
            zeros++;
    }
}

bool Communicator::processSingle()
{
    uint32_t command = reader->readU4(0);
    uint32_t requestId = reader->readU4(0);
    bool keepServing = true;

    if (reader->getError()) {
        ended = 1;
        return true;
    }
    if (command == CMD_ID_WIDTH) {
        writeReplyHeader(command, requestId);
        writer->writeU4(DataWriter::ID_SIZE);
        writer->writeID(reinterpret_cast<const void *>(static_cast<uintptr_t>(1)));
        writer->flush();
    } else if (command == CMD_LOAD_INFO) {
        writeReplyHeader(command, requestId);
        processComand(command);
        writer->flush();
    } else if (command == CMD_CLOSE) {
        ended = 1;
        return true;
    } else {
        uint32_t size = 0;
        bool good = readSize(&size) && !reader->getError();
        sendAcknowledge(!good);
        std::vector<unsigned char> payload;
        if (good) {
            uint32_t received = reader->readU4(0);
            payload.resize(size);
            if (size > 0 && reader->readFully(payload.data(), static_cast<int>(size)) != static_cast<int>(size)) {
                ended = 1;
                return true;
            }
            uint32_t computed = Crc32::of(payload.data(), payload.size());
            if (received != computed) {
                MessageUtil::message("comm error: crcs don't match %d %d", static_cast<int>(received), static_cast<int>(computed));
                pauseAfterBrokenRequest();
                good = false;
            }
            sendAcknowledge(!good);
        }
        if (good)
            keepServing = executeRequest(command, requestId, payload.data(), size);
        else
            recover();
    }
    if (!keepServing)
        return false;
    if (!ended) {
        // The transport's flush: a communicator that collects replies passes
        // the whole reply on here.
        flush();
        if (!ended && !writer->getError())
            ended = reader->getError() ? 1 : 0;
        else
            ended = 1;
    }
    return true;
}

bool Communicator::executeRequest(uint32_t command, uint32_t requestId, const unsigned char *payload, uint32_t size)
{
    writeReplyHeader(command, requestId);
    writer->flush();
    payloadReader->setByteArray(payload, static_cast<int>(size));
    DataReader *connectionReader = reader;
    reader = payloadReader;
    bool keepServing = processComand(command);
    reader = connectionReader;
    writer->writeBuffered(END_MARKER, sizeof END_MARKER);
    writer->flush();
    return keepServing;
}

bool Communicator::processComand(uint32_t command)
{
    switch (command) {
    case CMD_STOP:
        finished = 1;
        return true;
    case CMD_EXIT:
        exitProcess = 1;
        finished = 1;
        return true;
    case CMD_INTERRUPT:
        interruptProcess = 1;
        finished = 1;
        return true;
    default:
        break;
    }
    if (const BaseCommand *row = findBaseCommand(command))
        row->handle(session, reader, writer);
    return true;
}
