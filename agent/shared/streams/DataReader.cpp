#include "DataReader.h"

#include <cstring>

namespace {

const int MAP_CAPACITY = 11;
const float MAP_LOAD_FACTOR = 0.75f;

} // namespace

DataReader::DataReader()
    : pending32(nullptr), oldToNew32(nullptr), pending64(nullptr), oldToNew64(nullptr), idWidth(4), eof(0)
{
}

DataReader::~DataReader()
{
    discardTranslation();
}

int DataReader::read(void *buffer, int length)
{
    if (eof || length <= 0)
        return 0;
    int n = mdRead(buffer, length);
    if (n <= 0) {
        eof = 1;
        return 0;
    }
    return n;
}

int DataReader::readFully(void *buffer, int length)
{
    char *p = static_cast<char *>(buffer);
    int done = 0;
    while (done < length && !eof) {
        int n = mdRead(p + done, length - done);
        if (n <= 0) {
            eof = 1;
            break;
        }
        done += n;
    }
    return done;
}

bool DataReader::readExactly(void *buffer, int length)
{
    return readFully(buffer, length) == length && !eof;
}

int DataReader::readByte(int def)
{
    unsigned char b;
    return readExactly(&b, 1) ? b : def;
}

int DataReader::readU2(int def)
{
    unsigned char b[2];
    return readExactly(b, 2) ? (b[0] << 8) | b[1] : def;
}

uint32_t DataReader::readU4(uint32_t def)
{
    unsigned char b[4];
    if (!readExactly(b, 4))
        return def;
    return (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) | (static_cast<uint32_t>(b[2]) << 8) | b[3];
}

int32_t DataReader::readS4(int32_t def)
{
    return static_cast<int32_t>(readU4(static_cast<uint32_t>(def)));
}

long long DataReader::readJLong(long long def)
{
    unsigned char b[8];
    if (!readExactly(b, 8))
        return def;
    uint64_t v = 0;
    for (int i = 0; i < 8; i++)
        v = (v << 8) | b[i];
    return static_cast<long long>(v);
}

void *DataReader::readID(void *def)
{
    void *id;
    return readExactly(&id, sizeof id) ? id : def;
}

uint64_t DataReader::readVarID()
{
    if (idWidth == 8) {
        uint64_t id;
        return readExactly(&id, 8) ? id : 0;
    }
    uint32_t id;
    return readExactly(&id, 4) ? id : 0;
}

char *DataReader::readString(char *def)
{
    int length = readU2(-1);
    if (length < 0)
        return def;
    char *text = new char[length + 1];
    if (!readExactly(text, length)) {
        delete[] text;
        return def;
    }
    text[length] = '\0';
    return text;
}

int DataReader::available()
{
    return eof ? 0 : 1;
}

void DataReader::discardTranslation()
{
    delete pending32;
    delete oldToNew32;
    delete pending64;
    delete oldToNew64;
    pending32 = nullptr;
    oldToNew32 = nullptr;
    pending64 = nullptr;
    oldToNew64 = nullptr;
}

void DataReader::enableIDUpdate(bool on, int width)
{
    discardTranslation();
    idWidth = width == 8 ? 8 : 4;
    if (!on)
        return;
    if (idWidth == 8) {
        oldToNew64 = new PointerHashMap<void, long long>(MAP_CAPACITY, MAP_LOAD_FACTOR);
        pending64 = new std::vector<PendingSlot>();
    } else {
        oldToNew32 = new PointerHashMap<void, int>(MAP_CAPACITY, MAP_LOAD_FACTOR);
        pending32 = new std::vector<PendingSlot>();
    }
}

void *DataReader::lookup(uint64_t oldId)
{
    if (oldToNew64 != nullptr)
        return oldToNew64->get(static_cast<long long>(oldId));
    return oldToNew32->get(static_cast<int>(oldId));
}

void DataReader::readOldID(void *newPointer)
{
    uint64_t oldId = readVarID();
    if (oldToNew64 != nullptr)
        oldToNew64->put(static_cast<long long>(oldId), newPointer);
    else if (oldToNew32 != nullptr)
        oldToNew32->put(static_cast<int>(oldId), newPointer);
}

void *DataReader::readAndUpdateID()
{
    uint64_t oldId = readVarID();
    if (oldId != 0 && (oldToNew32 != nullptr || oldToNew64 != nullptr))
        return lookup(oldId);
    return reinterpret_cast<void *>(static_cast<uintptr_t>(oldId));
}

void DataReader::readUpdatableID(void **slot)
{
    uint64_t oldId = readVarID();
    *slot = reinterpret_cast<void *>(static_cast<uintptr_t>(oldId));
    if (oldId == 0 || (oldToNew32 == nullptr && oldToNew64 == nullptr))
        return;
    void *known = lookup(oldId);
    if (known != nullptr) {
        *slot = known;
        return;
    }
    std::vector<PendingSlot> *queue = oldToNew64 != nullptr ? pending64 : pending32;
    queue->push_back(PendingSlot{slot, oldId});
}

void DataReader::updateIDs()
{
    std::vector<PendingSlot> *queue = oldToNew64 != nullptr ? pending64 : pending32;
    if (queue == nullptr)
        return;
    for (const PendingSlot &p : *queue)
        *p.slot = lookup(p.oldId);
    queue->clear();
}
