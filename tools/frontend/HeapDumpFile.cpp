#include "HeapDumpFile.h"

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <iterator>

#include <zlib.h>

#include "Registry.h"
#include "WireReader.h"

namespace {

int elementSize(int type)
{
    switch (type) {
    case 4:
    case 5:
        return 1;
    case 6:
    case 7:
        return 2;
    case 8:
    case 10:
        return 4;
    case 9:
    case 11:
        return 8;
    default:
        return 0;
    }
}

uint64_t readSized(WireReader &in, int size)
{
    switch (size) {
    case 1:
        return in.readByte();
    case 2:
        return in.readU2();
    case 4:
        return in.readU4();
    default:
        return static_cast<uint64_t>(in.readJLong());
    }
}

bool fail(std::string *error, const std::string &text)
{
    if (error != nullptr)
        *error = text;
    return false;
}

bool readObject(WireReader &in, int type, unsigned idWidth, JhdDump *dump, std::string *error)
{
    JhdObject o;
    o.type = type;
    o.classId = in.readID(idWidth);
    o.id = in.readU4();
    o.node = in.readID(idWidth);
    o.size = in.readU4();
    o.time = in.readU4();
    if (type == 2) {
        for (;;) {
            int tag = in.readByte();
            if (tag == 0 || in.error())
                break;
            if (tag != 1 && tag != 2 && tag != 4 && tag != 8)
                return fail(error, "unknown field entry " + std::to_string(tag) + " in object " + std::to_string(o.id));
            JhdEntry e;
            e.tag = tag;
            e.index = in.readU2();
            e.value = readSized(in, tag);
            o.entries.push_back(e);
        }
    } else if (type == 3) {
        o.length = in.readU4();
        for (;;) {
            uint32_t index = in.readU4();
            if (index == 0 || in.error())
                break;
            JhdEntry e;
            e.tag = 4;
            e.index = index - 1;
            e.value = in.readU4();
            o.entries.push_back(e);
        }
    } else {
        in.readU4();
        o.hasValues = in.readByte() != 0;
        o.valueCount = in.readU4();
        if (o.hasValues) {
            int size = elementSize(type);
            if (static_cast<uint64_t>(o.valueCount) * size > in.remaining())
                return fail(error, "array values of object " + std::to_string(o.id) + " cut short");
            o.values.reserve(o.valueCount);
            for (uint32_t i = 0; i < o.valueCount; i++)
                o.values.push_back(readSized(in, size));
        }
    }
    dump->objects.push_back(std::move(o));
    return true;
}

bool readClass(WireReader &in, unsigned idWidth, JhdDump *dump, std::string *error)
{
    JhdClass c;
    c.classId = in.readID(idWidth);
    c.tag = in.readU4();
    c.node = in.readID(idWidth);
    c.size = in.readU4();
    c.time = in.readU4();
    c.loaderId = in.readU4();
    in.readU4();
    uint32_t n = in.readU4();
    if (static_cast<uint64_t>(n) * 4 > in.remaining())
        return fail(error, "interfaces of class " + std::to_string(c.tag) + " cut short");
    for (uint32_t i = 0; i < n && !in.error(); i++)
        c.interfaceIds.push_back(in.readU4());
    while (!in.error() && in.readByte() == 1) {
        c.constantPoolIds.push_back(in.readU4());
        in.readU4();
    }
    if (in.readByte() == 1) {
        uint32_t size = in.readU4();
        if (size > in.remaining())
            return fail(error, "static data of class " + std::to_string(c.tag) + " cut short");
        c.staticData = in.readBytes(size);
    }
    dump->classes.push_back(std::move(c));
    return true;
}

} // namespace

bool parseHeapDump(const std::vector<uint8_t> &bytes, unsigned idWidth, JhdDump *dump, std::string *error)
{
    *dump = JhdDump();
    WireReader in(bytes);
    dump->version = in.readU4();
    if (in.error() || dump->version != 4)
        return fail(error, "not a heap dump (version " + std::to_string(dump->version) + ")");
    dump->allocationTime = in.readByte() != 0;
    dump->primitiveValues = in.readByte() != 0;
    dump->option4 = in.readByte() != 0;
    dump->option5 = in.readByte() != 0;
    dump->option6 = in.readByte() != 0;
    dump->unknownNode = in.readID(idWidth);
    while (!in.error() && in.readByte() == 1) {
        int kind = in.readByte();
        if (kind >= 2 && kind <= 11) {
            if (!readObject(in, kind, idWidth, dump, error))
                return false;
        } else if (kind >= 51 && kind <= 65) {
            JhdRoot r;
            r.kind = kind;
            r.id = in.readU4();
            r.method = in.readID(idWidth);
            r.stack = kind == 53 || kind == 54;
            if (r.stack)
                r.location = in.readJLong();
            dump->roots.push_back(r);
        } else {
            return fail(error, "unknown record kind " + std::to_string(kind) + " at byte " +
                                   std::to_string(in.position() - 1));
        }
    }
    while (!in.error() && in.readByte() == 1) {
        if (!readClass(in, idWidth, dump, error))
            return false;
    }
    while (!in.error() && in.readByte() == 1) {
        uint64_t method = in.readID(idWidth);
        uint64_t desc = in.readID(idWidth);
        dump->methods.emplace_back(method, desc);
    }
    if (in.error())
        return fail(error, "heap dump cut short");
    return true;
}

bool readHeapDumpFile(const std::string &path, unsigned idWidth, JhdDump *dump, std::string *error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return fail(error, "cannot open " + path);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return parseHeapDump(bytes, idWidth, dump, error);
}

std::string describeHeapDump(const JhdDump &dump)
{
    std::string out;
    char line[256];
    snprintf(line, sizeof line, "heap dump version %u, %zu objects, %zu roots, %zu class dumps, %zu methods\n",
             dump.version, dump.objects.size(), dump.roots.size(), dump.classes.size(), dump.methods.size());
    out += line;
    for (const JhdObject &o : dump.objects) {
        snprintf(line, sizeof line, "object %u type %d class %#" PRIx64 " size %u node %#" PRIx64 " time %u", o.id,
                 o.type, o.classId, o.size, o.node, o.time);
        out += line;
        if (o.type == 3)
            out += " length " + std::to_string(o.length);
        if (o.hasValues)
            out += " values " + std::to_string(o.valueCount);
        for (const JhdEntry &e : o.entries) {
            snprintf(line, sizeof line, " [%d:%u=%" PRIu64 "]", e.tag, e.index, e.value);
            out += line;
        }
        out += "\n";
    }
    for (const JhdRoot &r : dump.roots) {
        snprintf(line, sizeof line, "root %d object %u", r.kind, r.id);
        out += line;
        if (r.stack) {
            snprintf(line, sizeof line, " method %#" PRIx64 " location %" PRId64, r.method,
                     static_cast<int64_t>(r.location));
            out += line;
        }
        out += "\n";
    }
    for (const JhdClass &c : dump.classes) {
        snprintf(line, sizeof line, "class %u id %#" PRIx64 " node %#" PRIx64 " time %u loader %u", c.tag, c.classId,
                 c.node, c.time, c.loaderId);
        out += line;
        out += " interfaces";
        for (uint32_t id : c.interfaceIds)
            out += " " + std::to_string(id);
        out += " constant pool";
        for (uint32_t id : c.constantPoolIds)
            out += " " + std::to_string(id);
        out += " static data " + std::to_string(c.staticData.size()) + " bytes";
        if (!c.staticData.empty())
            out += " ";
        for (uint8_t b : c.staticData) {
            snprintf(line, sizeof line, "%02x", b);
            out += line;
        }
        out += "\n";
    }
    return out;
}

bool readHeapDumpReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry, JhdDump *dump,
                       std::string *error)
{
    WireReader in(body);
    uint32_t kind = in.readU4();
    std::vector<uint8_t> bytes;
    std::string path;
    if (kind == 1) {
        int64_t size = in.readJLong();
        if (in.error() || size < 0 || static_cast<uint64_t>(size) > in.remaining())
            return fail(error, "heap dump reply cut short");
        bytes = in.readBytes(static_cast<size_t>(size));
        uint32_t crc = in.readU4();
        if (crc != static_cast<uint32_t>(crc32(0, bytes.data(), static_cast<uInt>(bytes.size()))))
            return fail(error, "heap dump damaged: bad CRC-32");
    } else if (kind == 2) {
        path = in.readString();
    } else if (kind == 0) {
        return fail(error, "the agent could not make a heap dump");
    } else {
        return fail(error, "unknown heap dump reply " + std::to_string(kind));
    }
    if (in.error() || !registry->readMethods(in, idWidth) || !registry->readClasses(in, idWidth))
        return fail(error, "heap dump reply cut short");
    return kind == 1 ? parseHeapDump(bytes, idWidth, dump, error) : readHeapDumpFile(path, idWidth, dump, error);
}
