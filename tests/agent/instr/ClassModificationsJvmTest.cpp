// The class-level changes loaded into the real JDKs of this machine with every
// class verified (-Xverify:all): each JDK's own classes (read from its image)
// patched into its java.base, application classes on the class path, and
// stand-in hook classes that count the calls.
#include <gtest/gtest.h>

#include "ClassModifications.h"
#include "ClassModificationsTestSupport.h"
#include "../../support/TempDir.h"
#include "structures/ConstantPoolUtil.h"

using namespace cmtest;
using namespace Tessera;

namespace {

const std::vector<std::string> JDK_CLASSES = {
    "java/lang/Object",
    "java/lang/String",
    "java/lang/ClassLoader",
    "java/util/concurrent/locks/LockSupport",
    "java/util/concurrent/locks/AbstractQueuedSynchronizer",
    "java/util/concurrent/locks/AbstractQueuedSynchronizer$ConditionObject",
    "java/io/ObjectStreamClass",
    "jdk/internal/loader/ClassLoaders$AppClassLoader",
    "jdk/internal/loader/BuiltinClassLoader",
};

// Stand-ins for the agent's hook classes, on the boot class path so that
// java.base reaches them. The park hooks count only threads named "probe..."
// (the VM's own threads park too); registerAllocation must not allocate.
std::map<std::string, std::string> stubSources()
{
    return {
        {"InstrumentationCallee.java", R"(
package com.orvane.agent;
public final class InstrumentationCallee {
    public static final java.util.List<Class<?>> registered =
        java.util.Collections.synchronizedList(new java.util.ArrayList<>());
    public static void __orvane_registerClass(Class<?> c) { registered.add(c); }
    public static long __orvane_computeDefaultSUID(Class<?> c) { return 0x0BADCAFEL; }
})"},
        {"InstrumentationCalleeSimple.java", R"(
package com.orvane.agent;
public final class InstrumentationCalleeSimple {
    public static long allocations;
    public static volatile long loadClassCalls;
    public static void registerAllocation(Object o) { allocations++; }
    public static boolean __orvane_useSystemClassLoader(Object loader, String name) {
        loadClassCalls++;
        return name.startsWith("diverted.");
    }
    public static Class<?> __orvane_loadClass(String name) { return Runnable.class; }
})"},
        {"LockManager.java", R"(
package com.orvane.agent;
public final class LockManager {
    public static long enters, exits;
    public static Object lastEnter, lastExit;
    private static boolean watched() { return Thread.currentThread().getName().startsWith("probe"); }
    public static void __orvane_parkEnter(Object blocker) {
        if (watched())
            synchronized (LockManager.class) { enters++; lastEnter = blocker; }
    }
    public static void __orvane_parkExit(Object blocker) {
        if (watched())
            synchronized (LockManager.class) { exits++; lastExit = blocker; }
    }
})"},
        {"Agent.java", R"(
package com.orvane.agent;
public final class Agent {
    public static void initFromMainClass(String name) { System.out.println("initFromMainClass " + name); }
})"},
    };
}

// Copies classes out of the running JDK's image: outDir, then internal names.
std::map<std::string, std::string> toolSources()
{
    return {
        {"JrtExtract.java", R"(
import java.net.URI;
import java.nio.file.*;
public class JrtExtract {
    public static void main(String[] args) throws Exception {
        FileSystem jrt = FileSystems.getFileSystem(URI.create("jrt:/"));
        for (int i = 1; i < args.length; i++) {
            Path out = Paths.get(args[0], args[i] + ".class");
            Files.createDirectories(out.getParent());
            Files.write(out, Files.readAllBytes(jrt.getPath("modules/java.base/" + args[i] + ".class")));
        }
    }
})"},
    };
}

using jvmtools::Jvm;

const Jvm JVMS[] = {
    {"openjdk17", jvmtools::JDK17_HOME},
    {"temurin25", jvmtools::TEMURIN25_HOME},
};

std::vector<Jvm> jvmsHere() { return jvmtools::installedOf(JVMS); }

// Drivers: print "key value" lines that the tests compare.
std::map<std::string, std::string> driverSources()
{
    return {
        {"Exec.java", R"(
public class Exec {
    public static boolean executeMain(Class<?> c, String[] args) {
        System.out.println("executeMain " + c.getName() + " " + args.length);
        return args.length == 0 || !args[0].equals("stop");
    }
})"},
        {"AppDriver.java", R"(
import com.orvane.agent.InstrumentationCallee;
import com.orvane.agent.InstrumentationCalleeSimple;
import java.util.ArrayList;
import java.util.List;
public class AppDriver {
    static String registered() {
        List<String> names = new ArrayList<>();
        for (Class<?> c : InstrumentationCallee.registered)
            names.add(c.getName());
        InstrumentationCallee.registered.clear();
        return String.join(",", names);
    }
    public static void main(String[] args) throws Exception {
        new Comp();
        System.out.println("registered Comp() " + registered());
        new Comp(5);
        new Comp("ab");
        new Comp(true);
        new Comp(false);
        System.out.println("registered others " + registered());
        Class<?> p7 = Class.forName("$Proxy7");
        System.out.println("registered $Proxy7 " + (InstrumentationCallee.registered.get(0) == p7) + " " + registered());
        System.out.println("$Proxy8 " + $Proxy8.LOG + " " + registered());
        LoopLoader loader = new LoopLoader(AppDriver.class.getClassLoader());
        System.out.println("loop " + (loader.loadClass("  java.lang.String") == String.class));
        System.out.println("diverted " + loader.loadClass("diverted.Thing").getName());
        MainApp.main(new String[0]);
        MainPlain.main(new String[] {"stop"});
        MainPlain.main(new String[] {"go"});
    }
})"},
        {"CoreDriver.java", R"(
import com.orvane.agent.InstrumentationCalleeSimple;
import com.orvane.agent.LockManager;
import java.io.ObjectStreamClass;
import java.io.Serializable;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.locks.Condition;
import java.util.concurrent.locks.LockSupport;
import java.util.concurrent.locks.ReentrantLock;
public class CoreDriver {
    static class NoSuid implements Serializable {}
    static Object keep;

    static void probe(String name, Runnable r) throws InterruptedException {
        Thread t = new Thread(r, name);
        t.start();
        t.join();
    }
    static String parks() {
        synchronized (LockManager.class) {
            String s = LockManager.enters + " " + LockManager.exits;
            LockManager.enters = LockManager.exits = 0;
            return s;
        }
    }
    static String blockerName(Object o) { return o == null ? "null" : o instanceof String ? (String) o : o.getClass().getSimpleName(); }

    public static void main(String[] args) throws Exception {
        String mode = args[0];
        if (mode.equals("direct")) {
            probe("probe-direct", () -> {
                LockSupport.parkNanos(0L);
                LockSupport.parkNanos(-5L);
                LockSupport.parkNanos("B1", 0L);
                LockSupport.parkNanos("B2", -1L);
                LockSupport.parkUntil(0L);
                LockSupport.parkUntil("B3", 0L);
                LockSupport.unpark(Thread.currentThread());
                LockSupport.park();
                LockSupport.unpark(Thread.currentThread());
                LockSupport.park("B4");
                LockSupport.parkNanos("B5", 1_000_000L);
            });
            System.out.println("last " + blockerName(LockManager.lastEnter) + " " + blockerName(LockManager.lastExit));
            String[] d = parks().split(" ");
            System.out.println("direct balanced " + d[0].equals(d[1]) + " at least nine " + (Long.parseLong(d[0]) >= 9));
        }
        if (mode.equals("direct") || mode.equals("aqs")) {
            ReentrantLock lock = new ReentrantLock();
            Condition condition = lock.newCondition();
            lock.lock();
            Thread waiter = new Thread(() -> { lock.lock(); lock.unlock(); }, "probe-contended");
            waiter.start();
            long deadline = System.nanoTime() + 10_000_000_000L;
            while (!lock.hasQueuedThread(waiter) && waiter.isAlive() && System.nanoTime() < deadline)
                Thread.sleep(1);
            lock.unlock();
            waiter.join();
            probe("probe-await", () -> {
                lock.lock();
                try {
                    condition.awaitNanos(1_000_000L);
                } catch (InterruptedException e) {
                    throw new RuntimeException(e);
                } finally {
                    lock.unlock();
                }
            });
            String counts = parks();
            String[] c = counts.split(" ");
            System.out.println("locks balanced " + c[0].equals(c[1]) + " at least two " + (Long.parseLong(c[0]) >= 2));
            System.out.println("lock last " + blockerName(LockManager.lastEnter) + " " + blockerName(LockManager.lastExit));
        }
        if (mode.equals("direct")) {
            System.out.println("suid " + Long.toHexString(ObjectStreamClass.lookup(NoSuid.class).getSerialVersionUID()));
            ClassLoader system = ClassLoader.getSystemClassLoader();
            System.out.println("diverted " + system.loadClass("diverted.Anything").getName());
            System.out.println("loadClass hooked " + (InstrumentationCalleeSimple.loadClassCalls > 0));
        }
        if (mode.equals("alloc-switch")) {
            long before = InstrumentationCalleeSimple.allocations;
            for (int i = 0; i < 1000; i++)
                keep = new Object();
            System.out.println("switched off " + (InstrumentationCalleeSimple.allocations - before));
            java.lang.reflect.Field on = String.class.getDeclaredField("orvaneCallAgent");
            System.out.println("field modifiers " + java.lang.reflect.Modifier.toString(on.getModifiers()));
            on.setAccessible(true);
            on.setBoolean(null, true);
            before = InstrumentationCalleeSimple.allocations;
            for (int i = 0; i < 1000; i++)
                keep = new Object();
            on.setBoolean(null, false);
            System.out.println("switched on " + (InstrumentationCalleeSimple.allocations - before >= 1000));
        }
    }
})"},
    };
}

class ClassModificationsJvmTest : public testing::TestWithParam<Jvm> {
protected:
    static std::string dir;
    static std::string why;

    static void SetUpTestSuite()
    {
        std::string key;
        for (const Jvm &j : jvmsHere())
            key += std::string(j.home) + "\n";
        for (const std::string &c : JDK_CLASSES)
            key += c + "\n";
        for (auto sources : {sampleSources(), stubSources(), driverSources(), toolSources()})
            for (const auto &s : sources)
                key += s.first + s.second;
        dir = sharedFixtureDir("jvm", key,
                               [](const std::string &d) {
                                   std::string error = compileJava(d + "/stubsrc", stubSources(), d + "/stubs");
                                   if (error.empty())
                                       error = compileJava(d + "/samplesrc", sampleSources(), d + "/samples");
                                   if (error.empty())
                                       error = compileJava(d + "/driversrc", driverSources(), d + "/drivers",
                                                           "-cp " + quote(d + "/stubs") + ":" + quote(d + "/samples"));
                                   if (error.empty())
                                       error = compileJava(d + "/toolsrc", toolSources(), d + "/tools");
                                   for (const Jvm &j : jvmsHere()) {
                                       if (!error.empty())
                                           break;
                                       std::string command = javaCommand(j.home) + " -cp " +
                                                             quote(d + "/tools") + " JrtExtract " +
                                                             quote(d + "/jdk-" + j.name);
                                       for (const std::string &c : JDK_CLASSES)
                                           command += " " + quote(c);
                                       std::string output;
                                       if (run(command, output) != 0)
                                           error = std::string("extracting the classes of ") + j.name + ": " + output;
                                   }
                                   return error;
                               },
                               &why);
    }

    void SetUp() override
    {
        if (dir.empty()) {
            SKIP_WITHOUT_JDK17();
            FAIL() << "the fixture classes could not be made: " << why;
        }
        jvm = GetParam();
    }

    // Reads a class (JDK internal name, from the JDK under test, or sample
    // simple name), applies change and writes it below outDir.
    void rewrite(const std::string &name, const std::string &outDir, const std::function<void(ClassFile *)> &change)
    {
        std::string from = name.find('/') != std::string::npos ? dir + "/jdk-" + jvm.name + "/" + name + ".class"
                                                               : dir + "/samples/" + name + ".class";
        LoadedClass c;
        ASSERT_TRUE(c.loadFile(from)) << from;
        change(c.cf);
        std::vector<unsigned char> bytes = c.write();
        ASSERT_FALSE(bytes.empty()) << name;
        ASSERT_TRUE(writeFile(outDir + "/" + name + ".class", bytes.data(), bytes.size())) << name;
    }

    // Runs the JDK under test in workDir (where a crash report would go) with
    // every class verified; its output.
    std::string java(const std::string &workDir, const std::string &options, const std::string &classPath,
                     const std::string &mainAndArgs, int *status)
    {
        std::string output;
        *status = run("cd " + quote(workDir) + " && " + javaCommand(jvm.home) +
                          " -Xshare:off -Xverify:all -Xbootclasspath/a:" + quote(dir + "/stubs") + " " + options +
                          " -cp " + classPath + " " + mainAndArgs,
                      output);
        return output;
    }

    Jvm jvm = {"", ""};
};

std::string ClassModificationsJvmTest::dir;
std::string ClassModificationsJvmTest::why;

// Lines of the expected output, each of which must appear.
void expectLines(const std::string &output, const std::vector<std::string> &lines)
{
    for (const std::string &l : lines)
        EXPECT_NE(output.find(l + "\n"), std::string::npos) << "missing \"" << l << "\" in:\n" << output;
}

const char *const PATCH_OPTIONS = "--add-reads java.base=ALL-UNNAMED --patch-module java.base=";

TEST_P(ClassModificationsJvmTest, ApplicationClassesVerifyAndCallTheirHooks)
{
    TempDir tmp;
    std::string app = tmp / "app";
    rewrite("Comp", app, [](ClassFile *cf) { EXPECT_EQ(ClassModifications::addRegisterClassHook("Comp", cf), 4); });
    rewrite("$Proxy7", app, [](ClassFile *cf) { EXPECT_TRUE(ClassModifications::addRegisterClassHookToClinit("$Proxy7", cf)); });
    rewrite("$Proxy8", app, [](ClassFile *cf) { EXPECT_TRUE(ClassModifications::addRegisterClassHookToClinit("$Proxy8", cf)); });
    rewrite("LoopLoader", app, [](ClassFile *cf) { EXPECT_EQ(ClassModifications::instrumentLoadClass(cf), 2); });
    for (const char *main : {"MainApp", "MainPlain"})
        rewrite(main, app, [main](ClassFile *cf) {
            EXPECT_TRUE(ClassModifications::mainClassModifications(main, cf));
            int executeMain = ConstantPoolUtil::addConstantMethodrefInfo(cf, "Exec", "executeMain",
                                                                         "(Ljava/lang/Class;[Ljava/lang/String;)Z");
            EXPECT_TRUE(ClassModifications::modifyMainClassMain(cf, executeMain));
        });
    int status = 0;
    std::string output =
        java(tmp.path(), "", quote(app) + ":" + quote(dir + "/samples") + ":" + quote(dir + "/drivers"), "AppDriver", &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(output.find("VerifyError"), std::string::npos) << output;
    expectLines(output, {
                            // Comp() runs this(1): both constructors register.
                            "registered Comp() Comp,Comp",
                            "registered others Comp,Comp,Comp,Comp",
                            "registered $Proxy7 true $Proxy7",
                            "$Proxy8 static8 $Proxy8",
                            "loop true",
                            "diverted java.lang.Runnable",
                            "initFromMainClass MainApp",
                            "MainApp static",
                            "executeMain MainApp 0",
                            "MainApp main 0",
                            "initFromMainClass MainPlain",
                            "executeMain MainPlain 1",
                            "MainPlain arg go",
                        });
    EXPECT_EQ(output.find("MainPlain arg stop"), std::string::npos) << output;
}

struct CoreCase {
    const char *name;
    std::vector<std::string> patched;  // java.base classes rewritten into the patch
    const char *mode;                  // CoreDriver argument
    std::vector<std::string> lines;    // expected output lines
};

void applyCoreChange(const std::string &name, ClassFile *cf)
{
    if (name == "java/util/concurrent/locks/LockSupport")
        EXPECT_EQ(ClassModifications::instrumentLockSupport(cf), 6);
    else if (name.rfind("java/util/concurrent/locks/AbstractQueued", 0) == 0)
        EXPECT_GT(ClassModifications::instrumentLocking(name.c_str(), cf), 0);
    else if (name == "java/io/ObjectStreamClass")
        EXPECT_TRUE(ClassModifications::instrumentObjectStreamClass(cf));
    else if (name == "java/lang/Object")
        EXPECT_TRUE(ClassModifications::addObjectConstructor(cf, false));
    else if (name == "java/lang/String")
        EXPECT_TRUE(ClassModifications::addCallAgentField(cf));
    else
        ClassModifications::instrumentLoadClass(cf);  // which loaders override loadClass differs between JDKs
}

const std::vector<std::string> LOADERS = {"java/lang/ClassLoader", "jdk/internal/loader/BuiltinClassLoader",
                                          "jdk/internal/loader/ClassLoaders$AppClassLoader"};

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const CoreCase CORE_CASES[] = {
        // JVMTI 1.1: LockSupport itself. Nine direct parks (the JDK may add
        // its own on the thread), four of them through the nanos <= 0 path,
        // plus the lock's and the condition's.
        CoreCase{"LockSupport",
                 with({"java/util/concurrent/locks/LockSupport", "java/io/ObjectStreamClass"}, LOADERS),
                 "direct",
                 {"last B5 B5", "direct balanced true at least nine true", "locks balanced true at least two true",
                  "lock last ConditionObject ConditionObject", "suid badcafe", "diverted java.lang.Runnable",
                  "loadClass hooked true"}},
        // Before JVMTI 1.1: the park calls inside the AbstractQueued classes.
        CoreCase{"AbstractQueued",
                 {"java/util/concurrent/locks/AbstractQueuedSynchronizer",
                  "java/util/concurrent/locks/AbstractQueuedSynchronizer$ConditionObject"},
                 "aqs",
                 {"locks balanced true at least two true", "lock last ConditionObject ConditionObject"}},
        // The Object constructor at launch: allocations are reported only while
        // String.orvaneCallAgent is set. (The attached form calls the hook
        // unguarded, which only works once the VM is up: it is exercised by
        // the agent's own end-to-end tests.)
        CoreCase{"ObjectAtLaunch", {"java/lang/Object", "java/lang/String"}, "alloc-switch",
                 {"switched off 0", "field modifiers static transient", "switched on true"}},
};

// The JDK's own classes changed as the agent changes them, in every JDK here.
TEST_P(ClassModificationsJvmTest, PatchedIntoJavaBaseTheyVerifyAndEveryParkIsBalanced)
{
    for (const CoreCase &k : CORE_CASES) {
        SCOPED_TRACE(k.name);
        TempDir tmp;
        std::string patch = tmp / "patch";
        for (const std::string &name : k.patched)
            rewrite(name, patch, [&](ClassFile *cf) { applyCoreChange(name, cf); });
        int status = 0;
        std::string options = std::string(PATCH_OPTIONS) + quote(patch);
        if (std::string(k.mode) == "alloc-switch")
            options += " --add-opens java.base/java.lang=ALL-UNNAMED";
        std::string output =
            java(tmp.path(), options, quote(dir + "/drivers"), std::string("CoreDriver ") + k.mode, &status);
        EXPECT_EQ(status, 0) << output;
        EXPECT_EQ(output.find("Error"), std::string::npos) << output;
        expectLines(output, k.lines);
    }
}

// The verifier really looks at the patched java.base classes: the same
// LockSupport without the frames of its rewritten methods is refused.
TEST_P(ClassModificationsJvmTest, PatchedJavaBaseClassesAreReallyVerified)
{
    TempDir tmp;
    std::string patch = tmp / "patch";
    rewrite("java/util/concurrent/locks/LockSupport", patch, [](ClassFile *cf) {
        EXPECT_EQ(ClassModifications::instrumentLockSupport(cf), 6);
        code(method(cf, "parkNanos", "(J)V"))->removeAttributeWithName("StackMapTable");
    });
    int status = 0;
    std::string output = java(tmp.path(), std::string(PATCH_OPTIONS) + quote(patch), quote(dir + "/drivers"), "CoreDriver direct",
                              &status);
    EXPECT_NE(status, 0) << output;
    EXPECT_NE(output.find("VerifyError"), std::string::npos) << output;
    EXPECT_NE(output.find("LockSupport"), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(Jdks, ClassModificationsJvmTest, testing::ValuesIn(jvmsHere()),
                         [](const testing::TestParamInfo<Jvm> &info) { return std::string(info.param.name); });

} // namespace
