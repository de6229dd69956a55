#include "bytecode/CodeInsertionHelper.h"

#include <cassert>
#include <cstring>
#include <string>

#include "bytecode/DescriptorHelper.h"
#include "bytecode/Instructions.h"
#include "io/DataInput.h"
#include "io/DataOutput.h"
#include "io/Log.h"
#include "structures/ClassFile.h"
#include "structures/ConstantEntries.h"
#include "structures/ConstantPoolUtil.h"
#include "structures/MethodInfo.h"
#include "structures/TypedAttributes.h"

namespace Tessera {

namespace {

enum { ITEM_TOP = 0, ITEM_INTEGER = 1, ITEM_FLOAT = 2, ITEM_DOUBLE = 3, ITEM_LONG = 4, ITEM_NULL = 5,
       ITEM_UNINITIALIZED_THIS = 6, ITEM_OBJECT = 7, ITEM_UNINITIALIZED = 8 };

// One verification type: its tag and, for Object and Uninitialized, its u2 value.
struct VType {
    int tag;
    int data;
};

int slotsOf(const VType &t) { return t.tag == ITEM_LONG || t.tag == ITEM_DOUBLE ? 2 : 1; }

// Reads one verification type; tag -1 on a bad one.
VType readType(DataInput *in)
{
    VType t = {in->readUnsignedByte(), 0};
    if (t.tag == ITEM_OBJECT || t.tag == ITEM_UNINITIALIZED)
        t.data = in->readUnsignedShort();
    if (t.tag > ITEM_UNINITIALIZED || in->hasOverrun())
        t.tag = -1;
    return t;
}

std::string classNameAt(ClassFile *cf, int index)
{
    if (cf == nullptr || index <= 0 || index >= static_cast<int>(cf->getConstantPool().size()))
        return "";
    CPInfo *e = cf->getConstantPool()[index];
    if (e == nullptr || e->getTag() != CONSTANT_Class)
        return "";
    ConstantClassInfo *c = static_cast<ConstantClassInfo *>(e);
    return c->getName() == nullptr ? "" : std::string(c->getName(), c->getNameLength());
}

bool sameType(ClassFile *cf, const VType &a, const VType &b)
{
    if (a.tag != b.tag)
        return false;
    if (a.tag == ITEM_OBJECT)
        return a.data == b.data || classNameAt(cf, a.data) == classNameAt(cf, b.data);
    return a.tag != ITEM_UNINITIALIZED || a.data == b.data;
}

// Locals at method entry: this (instance methods, not constructors) and the parameters.
std::vector<VType> entryLocals(ClassFile *cf, MethodInfo *method)
{
    std::vector<VType> locals;
    if (cf == nullptr || method == nullptr || method->getSignature() == nullptr)
        return locals;
    bool isConstructor = eq_nt_str("<init>", method->getName(), method->getNameLength());
    if ((method->getAccessFlags() & 0x0008) == 0) {
        if (isConstructor)
            return locals; // this is uninitialised on some paths
        locals.push_back({ITEM_OBJECT, cf->getThisClass()});
    }
    const char *cursor = method->getSignature();
    const char *end = cursor + method->getSignatureLength();
    if (cursor < end && *cursor == '(')
        cursor++;
    char name[1024];
    while (cursor < end && *cursor != ')') {
        char t = DescriptorHelper::getNextParameterType(&cursor, end, name, sizeof name);
        switch (t) {
        case 'B': case 'C': case 'I': case 'S': case 'Z': locals.push_back({ITEM_INTEGER, 0}); break;
        case 'F': locals.push_back({ITEM_FLOAT, 0}); break;
        case 'D': locals.push_back({ITEM_DOUBLE, 0}); break;
        case 'J': locals.push_back({ITEM_LONG, 0}); break;
        case 'L': locals.push_back({ITEM_OBJECT, ConstantPoolUtil::getConstantClassInfo(cf, name)}); break;
        default: return locals;
        }
    }
    return locals;
}

// Marks the local slots that any instruction stores into.
void markStoredSlots(std::vector<AbstractInstruction *> *instructions, std::vector<bool> &stored)
{
    for (AbstractInstruction *i : *instructions) {
        int op = i->getOpcode();
        int slot = -1, width = 1;
        if (op >= 54 && op <= 58) {
            slot = static_cast<ImmediateByteInstruction *>(i)->getImmediateByte();
            width = op == 55 || op == 57 ? 2 : 1;
        } else if (op >= 59 && op <= 78) {
            slot = (op - 59) % 4;
            int kind = (op - 59) / 4;
            width = kind == 1 || kind == 3 ? 2 : 1;
        }
        for (int s = slot; s >= 0 && s < slot + width; s++) {
            if (s >= static_cast<int>(stored.size()))
                stored.resize(s + 1, false);
            stored[s] = true;
        }
    }
}

void writeType(DataOutput *out, const VType &t)
{
    out->writeByte(t.tag);
    if (t.tag == ITEM_OBJECT || t.tag == ITEM_UNINITIALIZED)
        out->writeShort(t.data);
}

// Writes delta as a short frame when it fits, else as the extended kind.
void writeDelta(DataOutput *out, int shortBase, int extendedType, int delta)
{
    if (delta < 64) {
        out->writeByte(shortBase + delta);
    } else {
        out->writeByte(extendedType);
        out->writeShort(delta);
    }
}

} // namespace

int CodeInsertionHelper::getNewPc(const OffsetMap &map, int oldPc)
{
    assert(oldPc >= 0);
    int i = map.findOld(oldPc);
    return i < 0 ? oldPc : map.newOffsets[map.indexMap[i]];
}

bool CodeInsertionHelper::copyVerificationTypes(DataOutput *out, DataInput *in, const OffsetMap &map, int count)
{
    for (int k = 0; k < count; k++) {
        VType t = readType(in);
        if (t.tag < 0)
            return false;
        if (t.tag == ITEM_UNINITIALIZED) {
            int i = map.findOld(t.data);
            if (i < 0)
                return false;
            t.data = map.newOffsets[map.ownIndex[i]];
        }
        writeType(out, t);
    }
    return true;
}

bool CodeInsertionHelper::writeStackMapTable(DataOutput *out, const char *oldBody, int oldLength,
                                             const OffsetMap &map, std::vector<AbstractInstruction *> *newInstructions,
                                             CodeAttribute *code, MethodInfo *method, int handlerLength,
                                             int leadingFrame)
{
    ClassFile *cf = code != nullptr ? code->getClassFile() : nullptr;
    DataInput in(oldBody, oldBody != nullptr ? oldLength : 0);
    int oldFrames = oldBody != nullptr ? in.readUnsignedShort() : 0;
    int countAt = out->getSize();
    out->writeShort(0);
    int written = 0;
    int previousNewPc = -1;
    int previousOldPc = -1;

    // The leading locals every frame keeps exactly as at entry.
    std::vector<VType> entry = handlerLength > 0 ? entryLocals(cf, method) : std::vector<VType>();
    std::vector<VType> locals = entry;
    size_t kept = entry.size();

    if (leadingFrame >= 0) {
        writeDelta(out, 0, 251, leadingFrame);
        previousNewPc = leadingFrame;
        written++;
    }
    for (int f = 0; f < oldFrames; f++) {
        int type = in.readUnsignedByte();
        int delta;
        if (type < 128)
            delta = type < 64 ? type : type - 64;
        else if (type < 247) {
            Log::message("ERROR unknown frame type %d in StackMapTable attribute", type);
            return false;
        } else
            delta = in.readUnsignedShort();
        if (in.hasOverrun())
            return false;
        int oldPc = previousOldPc < 0 ? delta : previousOldPc + delta + 1;
        int i = map.findOld(oldPc);
        if (i < 0)
            return false;
        int newPc = map.newOffsets[map.indexMap[i]];
        int newDelta = previousNewPc < 0 ? newPc : newPc - previousNewPc - 1;
        if (newDelta < 0)
            return false;
        previousOldPc = oldPc;
        previousNewPc = newPc;
        written++;

        if (type < 64 || type == 251) {
            if (type < 64)
                writeDelta(out, 0, 251, newDelta);
            else {
                out->writeByte(251);
                out->writeShort(newDelta);
            }
        } else if (type < 128 || type == 247) {
            if (type < 128)
                writeDelta(out, 64, 247, newDelta);
            else {
                out->writeByte(247);
                out->writeShort(newDelta);
            }
            if (!copyVerificationTypes(out, &in, map, 1))
                return false;
        } else if (type <= 250) {
            out->writeByte(type);
            out->writeShort(newDelta);
            size_t chop = static_cast<size_t>(251 - type);
            locals.resize(locals.size() > chop ? locals.size() - chop : 0);
        } else if (type <= 254) {
            out->writeByte(type);
            out->writeShort(newDelta);
            int start = in.getBytesRead();
            for (int k = 0; k < type - 251; k++)
                locals.push_back(readType(&in));
            in.seek(start);
            if (!copyVerificationTypes(out, &in, map, type - 251))
                return false;
        } else {
            out->writeByte(255);
            out->writeShort(newDelta);
            int nLocals = in.readUnsignedShort();
            out->writeShort(nLocals);
            int start = in.getBytesRead();
            locals.clear();
            for (int k = 0; k < nLocals; k++)
                locals.push_back(readType(&in));
            in.seek(start);
            if (!copyVerificationTypes(out, &in, map, nLocals))
                return false;
            int nStack = in.readUnsignedShort();
            out->writeShort(nStack);
            if (in.hasOverrun() || !copyVerificationTypes(out, &in, map, nStack))
                return false;
        }
        size_t same = 0;
        while (same < kept && same < locals.size() && sameType(cf, locals[same], entry[same]))
            same++;
        kept = same;
    }
    if (in.hasOverrun())
        return false;

    if (handlerLength > 0) {
        int handlerPc = map.newCodeLength - handlerLength;
        int newDelta = previousNewPc < 0 ? handlerPc : handlerPc - previousNewPc - 1;
        if (newDelta < 0 || cf == nullptr)
            return false;
        // Declare only locals that no instruction overwrites and that every frame keeps.
        std::vector<bool> stored;
        markStoredSlots(newInstructions, stored);
        size_t declared = 0;
        int slot = 0;
        while (declared < kept) {
            bool overwritten = false;
            for (int s = slot; s < slot + slotsOf(entry[declared]); s++)
                overwritten = overwritten || (s < static_cast<int>(stored.size()) && stored[s]);
            if (overwritten)
                break;
            slot += slotsOf(entry[declared]);
            declared++;
        }
        out->writeByte(255);
        out->writeShort(newDelta);
        out->writeShort(static_cast<int>(declared));
        for (size_t k = 0; k < declared; k++)
            writeType(out, entry[k]);
        out->writeShort(1);
        writeType(out, {ITEM_OBJECT, cf->getThrowableClassIndex()});
        written++;
    }
    out->patchShort(countAt, written);
    return true;
}

void CodeInsertionHelper::addObjectInitStackMapTable(CodeAttribute *codeAttribute, int frameByte)
{
    AttributeInfo *stackMap = codeAttribute->findAttributeByName("StackMapTable");
    if (stackMap == nullptr) {
        stackMap = AttributeInfo::getInstance(0);
        stackMap->setClassFile(codeAttribute->getClassFile());
        stackMap->setAttributeNameIndex(codeAttribute->getClassFile()->getStackMapTableNameIndex());
        codeAttribute->getAttributes().push_back(stackMap);
    }
    char *body = new char[3];
    body[0] = 0;
    body[1] = 1;
    body[2] = static_cast<char>(frameByte);
    stackMap->setReplacementBody(body, 3);
}

} // namespace Tessera
