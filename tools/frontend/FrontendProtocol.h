#ifndef KVR_TOOLS_FRONTEND_FRONTENDPROTOCOL_H
#define KVR_TOOLS_FRONTEND_FRONTENDPROTOCOL_H

#include <cstddef>
#include <cstdint>

// Fixed values of the agent's front-end protocol.
namespace frontendProtocol {

constexpr uint32_t MAGIC = 0xCAFED00Du;
// What a front end says first: its hello and the version of the hello.
constexpr uint32_t CLIENT_HELLO = 31;
constexpr uint32_t CLIENT_HELLO_VERSION = 0;
constexpr const char *PROTOCOL_VERSION = "36";

constexpr uint32_t CMD_CLOSE = 0;
constexpr uint32_t CMD_ID_WIDTH = 2;
constexpr uint32_t CMD_LOAD_INFO = 76;

// Reply header: JLong VM start time, U4 command, JLong agent time, U4 request id.
constexpr size_t REPLY_HEADER_SIZE = 24;

// Closes the reply of every command that carries a payload.
constexpr uint8_t END_MARKER[8] = {0xBC, 0xC0, 0x89, 0x30, 0x77, 0x71, 0x17, 0xFA};

// Acknowledgement bytes the agent sends after the sizes and after the CRC.
constexpr uint8_t ACK_GOOD = 0;
constexpr uint8_t ACK_BROKEN = 1;

// After a broken request the agent skips bytes until it has seen more than this many zero
// bytes and then a byte 1.
constexpr size_t RESYNC_MIN_ZEROS = 900;
constexpr size_t RESYNC_ZEROS = 1000;

// Commands 0, 2 and 76 are sent as command and request id only, without sizes, CRC or payload.
inline bool hasPayloadFields(uint32_t command)
{
    return command != CMD_CLOSE && command != CMD_ID_WIDTH && command != CMD_LOAD_INFO;
}

} // namespace frontendProtocol

#endif
