// Shared by the class-modification tests: the real classes of this machine's
// JDK 17 (from its java.base jmod), small Java programs compiled with its javac,
// a readable listing of rewritten code, and a walk over every path of a method
// that checks hook calls are balanced.
#ifndef TESTS_AGENT_INSTR_CLASSMODIFICATIONSTESTSUPPORT_H
#define TESTS_AGENT_INSTR_CLASSMODIFICATIONSTESTSUPPORT_H

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bytecode/ByteCodeReader.h"
#include "bytecode/Instructions.h"
#include "io/ClassFileReader.h"
#include "io/ClassFileWriter.h"
#include "structures/ClassFile.h"
#include "structures/ConstantEntries.h"
#include "structures/MethodInfo.h"
#include "structures/TypedAttributes.h"
#include "../../support/JvmTools.h"

namespace cmtest {

const char *const JDK17 = jvmtools::JDK17_HOME;

using jvmtools::exists;

// Skips the test when this machine has no JDK 17 to compile and extract with;
// with one, a fixture that cannot be made is a failure of the test.
#define SKIP_WITHOUT_JDK17()                                                                          \
    do {                                                                                              \
        if (!jvmtools::exists(std::string(cmtest::JDK17) + "/bin/javac"))                             \
            GTEST_SKIP() << "no JDK 17: " << cmtest::JDK17 << "/bin/javac is not installed";           \
    } while (0)

using jvmtools::javaCommand;
using jvmtools::jdkToolCommand;
using jvmtools::quote;
using jvmtools::readFile;
using jvmtools::run;
using jvmtools::writeFile;

// Classes of java.base from the JDK 17 jmod (internal names), extracted below
// dir/classes. A jmod is a zip with a 4-byte header, which unzip skips with a
// warning (status 1). Empty on success, else the reason.
inline std::string extractJavaBase(const std::string &dir, const std::vector<std::string> &classes)
{
    std::string jmod = std::string(JDK17) + "/jmods/java.base.jmod";
    if (!exists(jmod))
        return "no " + jmod;
    std::string command = "unzip -o -q " + quote(jmod) + " -d " + quote(dir);
    for (const std::string &c : classes)
        command += " " + quote("classes/" + c + ".class");
    std::string output;
    int status = run(command, output);
    if (status != 0 && status != 1)
        return "unzip failed: " + output;
    for (const std::string &c : classes)
        if (!exists(dir + "/classes/" + c + ".class"))
            return "missing " + c + " in " + jmod + ": " + output;
    return "";
}

// Compiles sources (file name -> text) with JDK 17's javac into outDir.
// Empty on success, else javac's output.
inline std::string compileJava(const std::string &srcDir, const std::map<std::string, std::string> &sources,
                               const std::string &outDir, const std::string &extraOptions = "")
{
    std::string command = jdkToolCommand(JDK17, "javac") + " -nowarn -g --release 17 " + extraOptions +
                          " -d " + quote(outDir);
    for (const auto &s : sources) {
        if (!writeFile(srcDir + "/" + s.first, s.second))
            return "cannot write " + s.first;
        command += " " + quote(srcDir + "/" + s.first);
    }
    std::string output;
    return run(command, output) == 0 ? "" : "javac: " + output;
}

// A build-tree directory for one fixture, made once per content key: the
// first process that asks runs make() while the others wait on a lock. Empty
// when making it failed (*why tells).
inline std::string sharedFixtureDir(const std::string &name, const std::string &key,
                                    const std::function<std::string(const std::string &)> &make, std::string *why)
{
    std::string base = std::string(KVR_BINARY_DIR) + "/instrclass-fixtures";
    mkdir(base.c_str(), 0755);
    std::string dir = base + "/" + name + "-" + std::to_string(std::hash<std::string>()(key));
    std::string done = dir + "/.made";
    int lock = open((base + "/.lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    if (lock < 0) {
        *why = "cannot open the fixture lock";
        return "";
    }
    flock(lock, LOCK_EX);
    if (!exists(done)) {
        // Fixtures of earlier contents are of no further use.
        std::string ignored;
        run("rm -rf " + quote(base) + "/" + name + "-* && mkdir -p " + quote(dir), ignored);
        *why = make(dir);
        if (why->empty())
            writeFile(done, std::string("ok"));
    }
    flock(lock, LOCK_UN);
    close(lock);
    return exists(done) ? dir : "";
}

// A class read whole from its own copy of the bytes.
struct LoadedClass {
    std::vector<unsigned char> bytes;
    Tessera::ClassFile *cf = nullptr;

    LoadedClass() = default;
    LoadedClass(const LoadedClass &) = delete;
    LoadedClass &operator=(const LoadedClass &) = delete;
    ~LoadedClass()
    {
        if (cf != nullptr)
            cf->freeInstance();
    }
    bool load(const std::vector<unsigned char> &b)
    {
        if (cf != nullptr)
            cf->freeInstance();
        bytes = b;
        cf = Tessera::ClassFileReader::readFromByteArray(bytes.data(), static_cast<int>(bytes.size()), nullptr, true,
                                                         true, nullptr);
        return cf != nullptr && !cf->hasError();
    }
    bool loadFile(const std::string &path)
    {
        std::vector<unsigned char> b;
        return readFile(path, b) && load(b);
    }
    std::vector<unsigned char> write() const
    {
        char *out = nullptr;
        int length = Tessera::ClassFileWriter::writeToByteArray(&out, cf);
        std::vector<unsigned char> result(out, out + (length > 0 ? length : 0));
        delete[] out;
        return result;
    }
    // Writes the class out and reads it back, so that checks see what the VM gets.
    bool reload() { return load(write()); }
};

inline std::string utf8At(Tessera::ClassFile *cf, int index)
{
    Tessera::ConstantUtf8Info *u = cf->findUtf8(index);
    return u == nullptr ? "?" : std::string(u->getString(), u->getStringLength());
}

inline Tessera::CPInfo *entryAt(Tessera::ClassFile *cf, int index)
{
    std::vector<Tessera::CPInfo *> &pool = cf->getConstantPool();
    return index > 0 && index < static_cast<int>(pool.size()) ? pool[index] : nullptr;
}

inline std::string classAt(Tessera::ClassFile *cf, int index)
{
    Tessera::CPInfo *e = entryAt(cf, index);
    if (e == nullptr || e->getTag() != Tessera::CONSTANT_Class)
        return "?";
    return utf8At(cf, static_cast<Tessera::ConstantClassInfo *>(e)->getNameIndex());
}

// "owner.name descriptor" of a Fieldref/Methodref, "\"text\"" of a String,
// the name of a Class, or "#n".
inline std::string describeConstant(Tessera::ClassFile *cf, int index)
{
    using namespace Tessera;
    CPInfo *e = entryAt(cf, index);
    if (e == nullptr)
        return "#" + std::to_string(index);
    switch (e->getTag()) {
    case CONSTANT_Fieldref:
    case CONSTANT_Methodref:
    case CONSTANT_InterfaceMethodref: {
        ConstantReference *r = static_cast<ConstantReference *>(e);
        CPInfo *nt = entryAt(cf, r->getNameAndTypeIndex());
        if (nt == nullptr || nt->getTag() != CONSTANT_NameAndType)
            return "#" + std::to_string(index);
        ConstantNameAndTypeInfo *n = static_cast<ConstantNameAndTypeInfo *>(nt);
        return classAt(cf, r->getClassIndex()) + "." + utf8At(cf, n->getNameIndex()) + " " +
               utf8At(cf, n->getDescriptorIndex());
    }
    case CONSTANT_String:
        return "\"" + utf8At(cf, static_cast<ConstantStringInfo *>(e)->getStringIndex()) + "\"";
    case CONSTANT_Class:
        return classAt(cf, index);
    default:
        return "#" + std::to_string(index);
    }
}

inline Tessera::MethodInfo *method(Tessera::ClassFile *cf, const std::string &name, const std::string &descriptor)
{
    for (Tessera::MethodInfo *m : cf->getMethods())
        if (std::string(m->getName(), m->getNameLength()) == name &&
            std::string(m->getSignature(), m->getSignatureLength()) == descriptor)
            return m;
    return nullptr;
}

inline Tessera::CodeAttribute *code(Tessera::MethodInfo *m)
{
    return m == nullptr ? nullptr
                        : static_cast<Tessera::CodeAttribute *>(m->findAttribute(Tessera::CodeAttribute::CLASS_NAME));
}

inline std::vector<unsigned char> codeBytes(Tessera::CodeAttribute *c)
{
    const char *bytes = nullptr;
    int length = c->getCode(&bytes);
    return std::vector<unsigned char>(bytes, bytes + length);
}

// The method's code, one line per instruction: "pc: mnemonic operand", with
// pool references resolved and branch targets as absolute pcs ("ifle @28").
inline std::vector<std::string> listing(Tessera::ClassFile *cf, Tessera::CodeAttribute *c, bool withPc = false)
{
    using namespace Tessera;
    std::vector<std::string> lines;
    const char *bytes = nullptr;
    int length = c->getCode(&bytes);
    std::vector<AbstractInstruction *> *list = ByteCodeReader::readByteCode(bytes, length);
    if (list == nullptr)
        return {"<undecodable>"};
    for (AbstractInstruction *i : *list) {
        std::string line = withPc ? std::to_string(i->getOffset()) + ": " : "";
        line += i->getOpcodeVerbose();
        int op = i->getOpcode();
        if ((op >= 153 && op <= 168) || op == 198 || op == 199)
            line += " @" + std::to_string(i->getOffset() + static_cast<BranchInstruction *>(i)->getBranchOffset());
        else if (op == 17)
            line += " " + std::to_string(static_cast<ImmediateShortInstruction *>(i)->getImmediateShort());
        else if (op == 16)
            line += " " + std::to_string(static_cast<ImmediateByteInstruction *>(i)->getImmediateByte());
        else if (op == 19 || (op >= 178 && op <= 184) || op == 187 || op == 189 || op == 192 || op == 193)
            line += " " + describeConstant(cf, static_cast<ImmediateShortInstruction *>(i)->getImmediateShort());
        lines.push_back(line);
    }
    ByteCodeReader::freeInstructions(list);
    return lines;
}

inline std::string joined(const std::vector<std::string> &lines)
{
    std::string s;
    for (const std::string &l : lines)
        s += l + "\n";
    return s;
}

// Walks every path through a method (normal and exceptional) counting calls of
// the enter and the exit hook, and names each way out of the method on which
// the count is not zero, or an exit without an enter. Instructions that may
// throw: invocations and athrow, and field accesses. A hook call that throws
// counts as not made when a handler catches it (the handler may call it
// again) and as made when it leaves the method.
inline std::vector<std::string> unbalancedExits(Tessera::ClassFile *cf, Tessera::CodeAttribute *c,
                                                const std::string &enterHook, const std::string &exitHook)
{
    using namespace Tessera;
    std::vector<std::string> problems;
    const char *bytes = nullptr;
    int length = c->getCode(&bytes);
    std::vector<AbstractInstruction *> *list = ByteCodeReader::readByteCode(bytes, length);
    if (list == nullptr)
        return {"undecodable code"};
    std::map<int, size_t> at;
    for (size_t k = 0; k < list->size(); k++)
        at[(*list)[k]->getOffset()] = k;
    std::set<std::pair<int, int>> seen;
    std::vector<std::pair<int, int>> work = {{0, 0}};
    auto note = [&](const std::string &what) {
        if (std::find(problems.begin(), problems.end(), what) == problems.end())
            problems.push_back(what);
    };
    auto throwsFrom = [&](int pc, int balance, int escaping) {
        for (ExceptionTableEntry *e : c->getExceptionTable()) {
            if (pc < e->getStartPc() || pc >= e->getEndPc())
                continue;
            work.push_back({e->getHandlerPc(), balance});
            std::string type = e->getCatchType() == 0 ? "" : classAt(cf, e->getCatchType());
            if (type.empty() || type == "java/lang/Throwable")
                return;
        }
        if (escaping != 0)
            note("exception escapes at pc " + std::to_string(pc) + " with balance " + std::to_string(escaping));
    };
    while (!work.empty()) {
        std::pair<int, int> state = work.back();
        work.pop_back();
        if (!seen.insert(state).second)
            continue;
        int pc = state.first, balance = state.second;
        if (balance < 0) {
            note("exit hook without enter before pc " + std::to_string(pc));
            continue;
        }
        auto found = at.find(pc);
        if (found == at.end()) {
            note("no instruction at pc " + std::to_string(pc));
            continue;
        }
        AbstractInstruction *i = (*list)[found->second];
        int op = i->getOpcode();
        int next = found->second + 1 < list->size() ? (*list)[found->second + 1]->getOffset() : -1;
        if (op >= 172 && op <= 177) {
            if (balance != 0)
                note("return at pc " + std::to_string(pc) + " with balance " + std::to_string(balance));
            continue;
        }
        if (op == 191) {
            throwsFrom(pc, balance, balance);
            continue;
        }
        if ((op >= 153 && op <= 166) || op == 198 || op == 199) {
            work.push_back({pc + static_cast<BranchInstruction *>(i)->getBranchOffset(), balance});
            work.push_back({next, balance});
            continue;
        }
        if (op == 167) {
            work.push_back({pc + static_cast<BranchInstruction *>(i)->getBranchOffset(), balance});
            continue;
        }
        if (op == 170 || op == 171 || op == 168 || op == 169 || op == 200 || op == 201) {
            note("unsupported instruction " + std::string(i->getOpcodeVerbose()));
            continue;
        }
        if (op >= 182 && op <= 185) {
            std::string target = describeConstant(cf, static_cast<ImmediateShortInstruction *>(i)->getImmediateShort());
            if (target == enterHook) {
                throwsFrom(pc, balance, balance);
                work.push_back({next, balance + 1});
            } else if (target == exitHook) {
                throwsFrom(pc, balance, balance - 1);
                work.push_back({next, balance - 1});
            } else {
                throwsFrom(pc, balance, balance);
                work.push_back({next, balance});
            }
            continue;
        }
        if (op >= 178 && op <= 181)
            throwsFrom(pc, balance, balance);
        work.push_back({next, balance});
    }
    ByteCodeReader::freeInstructions(list);
    return problems;
}

// Application classes with the shapes the class-level changes meet.
inline std::map<std::string, std::string> sampleSources()
{
    return {
        {"Base.java", R"(
public class Base {
    public Base() {}
    public Base(Base other) {}
})"},
        // Constructors: this(...), super(new Base()), plain super(), and a
        // conditional new before super(...).
        {"Comp.java", R"(
public class Comp extends Base {
    final int value;
    public Comp() { this(1); }
    public Comp(int v) { super(new Base()); value = v; }
    public Comp(String s) { super(); value = s.length(); }
    public Comp(boolean b) { super(b ? new Base() : null); value = 0; }
})"},
        {"StaticLoad.java", R"(
public class StaticLoad {
    public static Class<?> loadClass(String name) throws ClassNotFoundException { return Class.forName(name); }
})"},
        // A loop head at pc 0 (with its own frame there) in loadClass(String, boolean).
        {"LoopLoader.java", R"(
public class LoopLoader extends ClassLoader {
    public LoopLoader(ClassLoader parent) { super(parent); }
    @Override protected Class<?> loadClass(String name, boolean resolve) throws ClassNotFoundException {
        while (true) {
            if (!name.startsWith(" "))
                return super.loadClass(name, resolve);
            name = name.substring(1);
        }
    }
    @Override public Class<?> loadClass(String name) throws ClassNotFoundException { return loadClass(name, false); }
})"},
        {"$Proxy7.java", R"(
public class $Proxy7 {
    public int run() { return 7; }
})"},
        {"$Proxy8.java", R"(
public class $Proxy8 {
    static final StringBuilder LOG = new StringBuilder("static8");
})"},
        // Park methods that the hooks cannot follow: a blocker argument that
        // is overwritten, a park in a constructor.
        {"FakeLocks.java", R"(
import java.util.concurrent.locks.LockSupport;
public class FakeLocks {
    public FakeLocks() { LockSupport.parkNanos(1L); }
    public void waitHere() { LockSupport.parkNanos(this, 1L); }
    public static void park(Object blocker) {
        blocker = String.valueOf(blocker);
        LockSupport.park(blocker);
    }
    public static void parkNanos(long nanos) {
        if (nanos > 0)
            LockSupport.parkNanos(nanos);
    }
})"},
        {"MainApp.java", R"(
public class MainApp {
    static { System.out.println("MainApp static"); }
    public static void main(String[] args) { System.out.println("MainApp main " + args.length); }
})"},
        {"MainPlain.java", R"(
public class MainPlain {
    public static void main(String[] args) {
        for (String a : args)
            System.out.println("MainPlain arg " + a);
    }
})"},
    };
}

} // namespace cmtest

#endif
