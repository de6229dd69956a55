#ifndef KVR_TESTS_AGENT_INSTR_INSTRUMENTERTESTSUPPORT_H
#define KVR_TESTS_AGENT_INSTR_INSTRUMENTERTESTSUPPORT_H

// What the rewriting tests share: small classes built in memory and their
// code as one line per instruction.

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "Instrumenter.h"
#include "bytecode/ByteCodeReader.h"
#include "bytecode/Instructions.h"
#include "structures/ClassFile.h"
#include "structures/ConstantEntries.h"
#include "structures/ConstantPoolUtil.h"
#include "structures/MethodInfo.h"
#include "structures/TableEntries.h"
#include "structures/TypedAttributes.h"

namespace instrtest {

using namespace Tessera;

typedef std::vector<unsigned char> Bytes;
typedef std::vector<std::string> Lines;

const int ACC_PUBLIC = 0x1, ACC_PRIVATE = 0x2, ACC_STATIC = 0x8, ACC_NATIVE = 0x100;

struct LineEntry {
    int pc;
    int line;
};

struct HandlerEntry {
    int start, end, handler;
    const char *type; // null: any
};

// A class of one version built in memory; methods are added with their code.
class TestClass {
public:
    explicit TestClass(const char *name, int version = 49)
    {
        cf = ClassFile::getInstance();
        cf->getConstantPool().resize(1);
        cf->setMajorVersion(version);
        cf->setOriginalMajorVersion(version);
        cf->setAccessFlags(0x21);
        cf->setThisClass(ConstantPoolUtil::addConstantClassInfo(cf, name));
        cf->setSuperClass(ConstantPoolUtil::addConstantClassInfo(cf, "java/lang/Object"));
    }
    ~TestClass() { cf->freeInstance(); }
    TestClass(const TestClass &) = delete;
    TestClass &operator=(const TestClass &) = delete;

    int methodref(const char *cls, const char *name, const char *desc)
    {
        return ConstantPoolUtil::addConstantMethodrefInfo(cf, cls, name, desc);
    }

    MethodInfo *nativeMethod(const char *name, const char *desc, int access)
    {
        MethodInfo *m = MethodInfo::createMethod(cf, name, desc, access | ACC_NATIVE);
        cf->getMethods().push_back(m);
        return m;
    }

    MethodInfo *method(const char *name, const char *desc, int access, const Bytes &code,
                       const std::vector<HandlerEntry> &handlers = {}, const std::vector<LineEntry> &lines = {})
    {
        MethodInfo *m = MethodInfo::createMethod(cf, name, desc, access);
        cf->getMethods().push_back(m);
        CodeAttribute *c = CodeAttribute::getInstance();
        c->setClassFile(cf);
        c->setAttributeNameIndex(ConstantPoolUtil::addConstantUTF8Info(cf, "Code"));
        char *copy = new char[code.size()];
        std::copy(code.begin(), code.end(), copy);
        c->setCode(copy, static_cast<int>(code.size()));
        c->setMaxStack(2);
        c->setMaxLocals(4);
        for (const HandlerEntry &h : handlers)
            c->getExceptionTable().push_back(ExceptionTableEntry::getInstance(
                h.start, h.end, h.handler, h.type == nullptr ? 0 : ConstantPoolUtil::addConstantClassInfo(cf, h.type)));
        if (!lines.empty()) {
            LineNumberTableAttribute *t = LineNumberTableAttribute::getInstance();
            t->setClassFile(cf);
            t->setAttributeNameIndex(ConstantPoolUtil::addConstantUTF8Info(cf, "LineNumberTable"));
            for (const LineEntry &l : lines) {
                LineNumberTableEntry *e = LineNumberTableEntry::getInstance();
                e->setStartPc(l.pc);
                e->setLineNumber(l.line);
                t->getLineNumberTable().push_back(e);
            }
            c->getAttributes().push_back(t);
        }
        m->getAttributes().push_back(c);
        return m;
    }

    MethodInfo *find(const char *name) const
    {
        for (MethodInfo *m : cf->getMethods()) {
            if (m->getNameLength() == static_cast<int>(strlen(name)) && memcmp(m->getName(), name, strlen(name)) == 0)
                return m;
        }
        return nullptr;
    }

    ClassFile *cf;
};

inline Bytes u2(int index) { return {static_cast<unsigned char>(index >> 8), static_cast<unsigned char>(index & 0xFF)}; }

inline Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes b;
    for (const Bytes &p : parts)
        b.insert(b.end(), p.begin(), p.end());
    return b;
}

inline CodeAttribute *codeOf(MethodInfo *m) { return Instrumenter::getCodeAttribute(m); }

inline std::string simpleName(const std::string &cls) { return cls.substr(cls.rfind('/') + 1); }

inline std::string refText(ClassFile *cf, int index)
{
    CPInfo *e = cf->getConstantPool()[index];
    ConstantReference *r = static_cast<ConstantReference *>(e);
    ConstantClassInfo *c = static_cast<ConstantClassInfo *>(cf->getConstantPool()[r->getClassIndex()]);
    ConstantNameAndTypeInfo *nt = static_cast<ConstantNameAndTypeInfo *>(cf->getConstantPool()[r->getNameAndTypeIndex()]);
    auto utf = [cf](int i) {
        ConstantUtf8Info *u = cf->findUtf8(i);
        return std::string(u->getString(), u->getStringLength());
    };
    return simpleName(utf(c->getNameIndex())) + "." + utf(nt->getNameIndex()) + utf(nt->getDescriptorIndex());
}

// A loadable constant: "text" for a String, the name for a Class.
inline std::string constantText(ClassFile *cf, int index)
{
    const int TAG_CLASS = 7, TAG_STRING = 8;
    CPInfo *e = cf->getConstantPool()[index];
    auto utf = [cf](int i) {
        ConstantUtf8Info *u = cf->findUtf8(i);
        return std::string(u->getString(), u->getStringLength());
    };
    if (e->getTag() == TAG_STRING)
        return "\"" + utf(static_cast<ConstantStringInfo *>(e)->getStringIndex()) + "\"";
    if (e->getTag() == TAG_CLASS)
        return utf(static_cast<ConstantClassInfo *>(e)->getNameIndex());
    return "#" + std::to_string(index);
}

// One line per instruction: the mnemonic, then a sipush value (signed), an
// invoke's Class.nameDescriptor, a branch's absolute target or other operands.
inline Lines disassemble(ClassFile *cf, MethodInfo *m)
{
    const char *code = nullptr;
    int length = codeOf(m)->getCode(&code);
    std::vector<AbstractInstruction *> *list = ByteCodeReader::readByteCode(code, length);
    Lines out;
    if (list == nullptr)
        return {"<undecodable>"};
    for (AbstractInstruction *i : *list) {
        std::string s = i->getOpcodeVerbose();
        int op = i->getOpcode();
        if (op == 17)
            s += " " + std::to_string(static_cast<short>(static_cast<ImmediateShortInstruction *>(i)->getImmediateShort()));
        else if (op == 19)
            s += " " + constantText(cf, static_cast<ImmediateShortInstruction *>(i)->getImmediateShort());
        else if (op >= 182 && op <= 185)
            s += " " + refText(cf, static_cast<ImmediateShortInstruction *>(i)->getImmediateShort());
        else if (i->instanceOf(MultianewarrayInstruction::CLASS_NAME))
            s += " " + std::to_string(static_cast<MultianewarrayInstruction *>(i)->getDimensions());
        else if (i->instanceOf(BranchInstruction::CLASS_NAME))
            s += " ->" + std::to_string(i->getOffset() + static_cast<BranchInstruction *>(i)->getBranchOffset());
        else if (i->instanceOf(ImmediateByteInstruction::CLASS_NAME))
            s += " " + std::to_string(static_cast<ImmediateByteInstruction *>(i)->getImmediateByte());
        out.push_back(s);
    }
    ByteCodeReader::freeInstructions(list);
    return out;
}

// Offsets of the instructions, in order.
inline std::vector<int> offsetsOf(MethodInfo *m)
{
    const char *code = nullptr;
    int length = codeOf(m)->getCode(&code);
    std::vector<AbstractInstruction *> *list = ByteCodeReader::readByteCode(code, length);
    std::vector<int> out;
    for (AbstractInstruction *i : *list)
        out.push_back(i->getOffset());
    ByteCodeReader::freeInstructions(list);
    return out;
}

inline std::string join(const Lines &lines)
{
    std::string s;
    for (const std::string &l : lines)
        s += "\n  " + l;
    return s;
}

inline Lines operator+(Lines a, const Lines &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace instrtest

#endif
