#include "Registry.h"

#include <cstdio>

#include "WireReader.h"

namespace {

// Records each led by byte 1, the list ended by byte 0; readOne reads the
// record's body and says whether it was whole.
template <class ReadOne>
bool readRecords(WireReader &reader, ReadOne readOne)
{
    while (!reader.error()) {
        uint8_t more = reader.readByte();
        if (reader.error())
            return false;
        if (more == 0)
            return true;
        if (more != 1 || !readOne())
            return false;
    }
    return false;
}

} // namespace

bool Registry::readMethods(WireReader &reader, unsigned idWidth)
{
    lastMethods_.clear();
    return readRecords(reader, [&] {
        MethodInfo m;
        m.id = reader.readID(idWidth);
        m.classId = reader.readID(idWidth);
        m.name = reader.readString();
        m.signature = reader.readString();
        if (reader.error())
            return false;
        methods_[m.id] = m;
        lastMethods_.push_back(m);
        return true;
    });
}

bool Registry::readClasses(WireReader &reader, unsigned idWidth)
{
    lastClasses_.clear();
    return readRecords(reader, [&] {
        ClassInfo c;
        c.id = reader.readID(idWidth);
        c.name = reader.readString();
        if (reader.readByte() == 1)
            c.displayName = reader.readString();
        c.componentType = reader.readU4();
        c.classMethod = reader.readID(idWidth);
        c.packageMethod = reader.readID(idWidth);
        c.displayClassMethod = reader.readID(idWidth);
        c.hasFieldInfo = reader.readByte() == 1;
        if (c.hasFieldInfo) {
            for (uint32_t *count : {&c.staticFields, &c.instanceFields}) {
                *count = reader.readU4();
                for (uint32_t i = 0; i < *count && !reader.error(); i++) {
                    reader.readString();
                    reader.readString();
                    reader.readByte();
                    reader.readU4();
                }
            }
            c.superClass = reader.readID(idWidth);
            c.unloaded = reader.readByte() == 1;
        }
        if (reader.error())
            return false;
        classes_[c.id] = c;
        lastClasses_.push_back(c);
        return true;
    });
}

bool Registry::readGetClassesReply(const std::vector<uint8_t> &body, unsigned idWidth, std::vector<MethodInfo> *newMethods,
                                   std::vector<ClassInfo> *newClasses)
{
    WireReader reader(body);
    if (!readMethods(reader, idWidth))
        return false;
    if (newMethods != nullptr)
        *newMethods = lastMethods_;
    if (!readClasses(reader, idWidth))
        return false;
    if (newClasses != nullptr)
        *newClasses = lastClasses_;
    return reader.remaining() == 0;
}

const MethodInfo *Registry::method(uint64_t id) const
{
    auto it = methods_.find(id);
    return it != methods_.end() ? &it->second : nullptr;
}

const ClassInfo *Registry::classOf(uint64_t id) const
{
    auto it = classes_.find(id);
    return it != classes_.end() ? &it->second : nullptr;
}

std::vector<const ClassInfo *> Registry::classesNamed(const std::string &name) const
{
    std::vector<const ClassInfo *> found;
    for (const auto &entry : classes_) {
        if (entry.second.name == name)
            found.push_back(&entry.second);
    }
    return found;
}

std::string Registry::describe(uint64_t methodId) const
{
    const MethodInfo *m = method(methodId);
    if (m == nullptr) {
        char text[32];
        snprintf(text, sizeof text, "#%llx", static_cast<unsigned long long>(methodId));
        return text;
    }
    const ClassInfo *c = classOf(m->classId);
    if (c == nullptr || c->componentType > 49)
        return m->name;
    return c->name + "." + m->name;
}
