#include "Communicator.h"

#include <chrono>
#include <thread>

#include "ByteArrayDataReader.h"
#include "Counter.h"
#include "Crc32.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "MessageUtil.h"
#include "ProfilingSession.h"
#include "Transport.h"
#include "VmCommands.h"

const unsigned char Communicator::END_MARKER[8] = {0xBC, 0xC0, 0x89, 0x30, 0x77, 0x71, 0x17, 0xFA};

namespace {

const int BROKEN_REQUEST_PAUSE_MS = 1000;

// The close and the ID width belong to the connection itself: they do not
// show that a front end is at work.
bool showsFrontend(const FrontendCommands::Row *row)
{
    return row == nullptr || row->owner != FrontendCommands::Owner::COMMUNICATOR ||
           row->frame == FrontendCommands::Frame::PAYLOAD;
}

} // namespace

Communicator::Communicator(Transport &transport, const CommandOwners &owners)
    : transport(transport), owners(owners), finished(false), exitProcess(false), interruptProcess(false), ended(false),
      connected(false), frontendSeen(false), commandReceived(false), status(STATUS_WAITING), payloadReader(new ByteArrayDataReader(nullptr, 0)),
      brokenPauseMs(BROKEN_REQUEST_PAUSE_MS)
{
}

Communicator::~Communicator() = default;

void Communicator::run()
{
    connected = transport.connect();
    if (connected)
        process();
    status = STATUS_CLEANED_UP;
    transport.disconnect();
    if (exitProcess || interruptProcess)
        transport.shutdown();
    if (owners.vm != nullptr)
        owners.vm->connectionEnded(*this);
}

void Communicator::process()
{
    while (!ended && !finished) {
        if (!transport.nextRequest()) {
            ended = true;
            return;
        }
        processSingle();
    }
}

void Communicator::processSingle()
{
    DataReader *in = transport.reader();
    uint32_t command = in->readU4(0);
    uint32_t requestId = in->readU4(0);
    if (in->getError()) {
        ended = true;
        return;
    }
    const FrontendCommands::Row *row = FrontendCommands::find(command);
    switch (FrontendCommands::frameOf(row)) {
    case FrontendCommands::Frame::CLOSE:
        processCommand(row, in);
        return;
    case FrontendCommands::Frame::BARE:
        writeReplyHeader(command, requestId);
        processCommand(row, in);
        transport.writer()->flush();
        break;
    case FrontendCommands::Frame::PAYLOAD: {
        std::vector<unsigned char> payload;
        if (readPayload(&payload))
            answerWithPayload(row, command, requestId, payload);
        break;
    }
    }
    finishRequest();
}

void Communicator::finishRequest()
{
    if (ended)
        return;
    // The transport's flush: one that collects replies passes the whole reply on here.
    bool delivered = transport.flush();
    if (!delivered || transport.writer()->getError() || transport.reader()->getError())
        ended = true;
}

void Communicator::writeReplyHeader(uint32_t command, uint32_t requestId)
{
    DataWriter *out = transport.writer();
    out->writeJLong(owners.session->getVmStartTime());
    out->writeU4(command);
    out->writeJLong(Counter::getUsec());
    out->writeU4(requestId);
}

void Communicator::sendAcknowledge(bool broken)
{
    if (!transport.acknowledges())
        return;
    DataWriter *out = transport.writer();
    out->writeByte(broken ? 1 : 0);
    out->flush();
}

void Communicator::pauseAfterBrokenRequest()
{
    if (brokenPauseMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(brokenPauseMs));
}

bool Communicator::readSize(uint32_t *size)
{
    DataReader *in = transport.reader();
    uint32_t sizes[3];
    for (uint32_t &s : sizes)
        s = in->readU4(0);
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

bool Communicator::readPayload(std::vector<unsigned char> *payload)
{
    DataReader *in = transport.reader();
    uint32_t size = 0;
    bool good = readSize(&size) && !in->getError();
    sendAcknowledge(!good);
    if (!good) {
        recover();
        return false;
    }
    uint32_t received = in->readU4(0);
    payload->resize(size);
    if (size > 0 && in->readFully(payload->data(), static_cast<int>(size)) != static_cast<int>(size)) {
        ended = true;
        return false;
    }
    uint32_t computed = Crc32::of(payload->data(), payload->size());
    good = received == computed;
    if (!good) {
        MessageUtil::message("comm error: crcs don't match %d %d", static_cast<int>(received), static_cast<int>(computed));
        pauseAfterBrokenRequest();
    }
    sendAcknowledge(!good);
    if (!good)
        recover();
    return good;
}

void Communicator::recover()
{
    MessageUtil::message("trying to recover\n");
    DataReader *in = transport.reader();
    int zeros = 0;
    for (;;) {
        int b = in->readByte(-1);
        if (b < 0 || in->getError())
            return;
        if (b == 1 && zeros > RESYNC_ZERO_BYTES)
            return;
        if (b == 0)
            zeros++;
    }
}

void Communicator::answerWithPayload(const FrontendCommands::Row *row, uint32_t command, uint32_t requestId,
                                     const std::vector<unsigned char> &payload)
{
    DataWriter *out = transport.writer();
    writeReplyHeader(command, requestId);
    out->flush();
    payloadReader->setByteArray(payload.data(), static_cast<int>(payload.size()));
    processCommand(row, payloadReader.get());
    out->writeBuffered(END_MARKER, sizeof END_MARKER);
    out->flush();
}

void Communicator::processCommand(const FrontendCommands::Row *row, DataReader *payload)
{
    commandReceived = true;
    if (!frontendSeen && owners.vm != nullptr && showsFrontend(row)) {
        frontendSeen = true;
        owners.vm->frontendSeen();
    }
    // Numbers not in the table, and commands whose owner this connection
    // does not have, are answered with an empty body.
    if (row == nullptr || !FrontendCommands::isOwned(*row, owners))
        return;
    row->handle(CommandCall{*this, payload, transport.writer(), owners});
}
