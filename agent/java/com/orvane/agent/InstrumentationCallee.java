package com.orvane.agent;

import java.lang.reflect.Constructor;
import java.lang.reflect.Field;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.io.ByteArrayOutputStream;
import java.io.DataOutputStream;
import java.io.IOException;
import java.security.MessageDigest;
import java.util.Arrays;
import java.util.Comparator;

/**
 * Static hooks that instrumented code calls. Rewritten methods push a method's 32-bit hook id as two
 * shorts, low half first; the hooks join them and reach the agent's natives.
 *
 * A hook never throws into the code that called it: whatever goes wrong inside is dropped, so the
 * instrumented program behaves as it did without the agent. The hooks call no code that the agent
 * instruments, so they never run into themselves.
 */
public final class InstrumentationCallee {
    /** Prefix of the native methods that the agent wrapped in Java methods. */
    static final String NATIVE_METHOD_PREFIX = "__orvane_nmp_";

    /**
     * Whether the agent records calls. While it does not, the method hooks return at once without
     * reaching native code; the agent sets it when recording starts or stops, and each thread reads its
     * stack from the VM at its first hook after a start. True when the natives cannot tell, so that
     * the hooks reach them and they report the missing library.
     */
    static volatile boolean recording = initialRecording();

    private InstrumentationCallee() {
    }

    private static boolean initialRecording() {
        try {
            return isRecording0();
        } catch (Throwable unknown) {
            return true;
        }
    }

    /** Whether the agent records calls now (true without a session in this library). */
    static native boolean isRecording0();

    /** Whether the method hooks reach the agent now. */
    public static boolean isRecording() {
        return recording;
    }

    /** Entry of an instrumented method; returns the entry time in microseconds, 0 when not timed. */
    public static native long enterMethod(int methodId, short line, boolean keep, long threadHandle, boolean timed);

    /** Entry of a filtered method called from instrumented code. */
    public static native void enterFilteredMethod(int methodId, short line, long threadHandle);

    /** Normal end of an instrumented method. */
    public static native void exitMethod(int methodId, long threadHandle);

    /** End of a filtered method called from instrumented code. */
    public static native void exitFilteredMethod(int methodId, long threadHandle);

    /** An exception handler of the method runs: the methods it called have ended. */
    public static native void exceptionHandlerMethod(int methodId, long threadHandle);

    /** The line of the next call from instrumented code. */
    public static native void lineNumberHint(short line, long threadHandle);

    /** The calling thread starts or stops waiting without a monitor (sleeping, parking). */
    static native void sleep0(boolean enter);

    /** The calling thread enters or leaves a network I/O method. */
    static native void netIO0(boolean enter);

    /** A component class made an instance: the class is known to the agent from now on. */
    static native void registerClass0(Class<?> type);

    /** Whether the class has its own static initialiser; false when the agent cannot tell. */
    static native boolean hasStaticInitializer0(Class<?> type);

    /**
     * The recorder's switch: recording on or off, `methodIds` (method ids in the low 32 bits) recorded
     * natively from now on, the CPU data empty.
     */
    public static native void setNativeCobaltRecording0(boolean on, long[] methodIds);

    /** The 32-bit hook id from the two shorts that rewritten code pushes. */
    static int methodId(short low, short high) {
        return (low & 0xFFFF) | (high << 16);
    }

    public static void __orvane_enterMethod(short low, short high, short line) {
        if (!recording) {
            return;
        }
        try {
            enterMethod(methodId(low, high), line, false, 0L, true);
        } catch (Throwable ignored) {
        }
    }

    public static void __orvane_exitMethod(short low, short high) {
        if (!recording) {
            return;
        }
        try {
            exitMethod(methodId(low, high), 0L);
        } catch (Throwable ignored) {
        }
    }

    public static void __orvane_exceptionHandlerMethod(short low, short high) {
        if (!recording) {
            return;
        }
        try {
            exceptionHandlerMethod(methodId(low, high), 0L);
        } catch (Throwable ignored) {
        }
    }

    public static void __orvane_filter_enterMethod(short low, short high, short line) {
        if (!recording) {
            return;
        }
        try {
            enterFilteredMethod(methodId(low, high), line, 0L);
        } catch (Throwable ignored) {
        }
    }

    public static void __orvane_filter_exitMethod(short low, short high) {
        if (!recording) {
            return;
        }
        try {
            exitFilteredMethod(methodId(low, high), 0L);
        } catch (Throwable ignored) {
        }
    }

    /**
     * Before the call of a constructor. The constructor is not on the VM's stack yet, so the entry is
     * kept even when it is the thread's first hook and the agent learns the stack from the VM.
     */
    public static void __orvane_enterConstructor(short low, short high, short line) {
        if (!recording) {
            return;
        }
        try {
            enterMethod(methodId(low, high), line, true, 0L, true);
        } catch (Throwable ignored) {
        }
    }

    public static void __orvane_linenumber_hint(short line) {
        if (!recording) {
            return;
        }
        try {
            lineNumberHint(line, 0L);
        } catch (Throwable ignored) {
        }
    }

    /** Recorder mode: method entries go to the same call recording as ordinary entries. */
    public static void __orvane_cobalt_enterMethod(short low, short high, short line) {
        __orvane_enterMethod(low, high, line);
    }

    public static void __orvane_cobalt_exitMethod(short low, short high) {
        __orvane_exitMethod(low, high);
    }

    /** Around a sleep or park call that the agent cannot see otherwise. */
    public static void __orvane_enterSleep() {
        try {
            sleep0(true);
        } catch (Throwable ignored) {
        }
    }

    public static void __orvane_exitSleep() {
        try {
            sleep0(false);
        } catch (Throwable ignored) {
        }
    }

    /** Entry (1, 0) and exit (0, 0) of a network I/O method. */
    public static void __orvane_netIOMethod(short enter, short unused) {
        try {
            netIO0(enter != 0);
        } catch (Throwable ignored) {
        }
    }

    /** Constructors and static initialisers of component classes. */
    public static void __orvane_registerClass(Class<?> type) {
        if (type == null) {
            return;
        }
        try {
            registerClass0(type);
        } catch (Throwable ignored) {
        }
    }

    /** Entry of a method that carries a probe annotation. */
    public static void __orvane_annotationEnterMethod(int methodId, Class<?> type, String className, String methodName,
            String signature, Object self, Object[] arguments) {
        if (methodId == PROBE_THREAD_START && self instanceof Thread) {
            Agent.registerThreadStart((Thread) self);
        }
        com.orvane.agent.probe.AnnotationHandler.builtinEnter(methodId, methodName, self, arguments);
    }

    /**
     * Replaces ObjectStreamClass.computeDefaultSUID: the default serialVersionUID of a class, computed as
     * Java serialization defines it, of the class as it was before the agent changed it. A
     * native method the agent wrapped counts as the native method it was, and the prefixed native method
     * it added does not count, so serialized objects stay compatible with VMs without the agent.
     */
    public static long __orvane_computeDefaultSUID(Class<?> type) {
        try {
            return DefaultSerialVersion.compute(type);
        } catch (Throwable failed) {
            // The JDK's own computation fails only on broken classes; serialization reports those.
            throw new InternalError(failed);
        }
    }

    /** The default serialVersionUID, kept apart so that the hook class stays small. */
    static final class DefaultSerialVersion {
        private static final int CLASS_MODIFIERS = Modifier.PUBLIC | Modifier.FINAL | Modifier.INTERFACE | Modifier.ABSTRACT;
        private static final int FIELD_MODIFIERS = Modifier.PUBLIC | Modifier.PRIVATE | Modifier.PROTECTED | Modifier.STATIC
                | Modifier.FINAL | Modifier.VOLATILE | Modifier.TRANSIENT;
        private static final int METHOD_MODIFIERS = Modifier.PUBLIC | Modifier.PRIVATE | Modifier.PROTECTED | Modifier.STATIC
                | Modifier.FINAL | Modifier.SYNCHRONIZED | Modifier.NATIVE | Modifier.ABSTRACT | Modifier.STRICT;

        private DefaultSerialVersion() {
        }

        static long compute(Class<?> type) throws IOException, java.security.NoSuchAlgorithmException {
            ByteArrayOutputStream bytes = new ByteArrayOutputStream();
            DataOutputStream out = new DataOutputStream(bytes);
            out.writeUTF(type.getName());

            // Reflection links the class first: the agent can list the methods of prepared classes only.
            Method[] methods = originalMethods(type);
            int classMods = type.getModifiers() & CLASS_MODIFIERS;
            if ((classMods & Modifier.INTERFACE) != 0) {
                classMods = methods.length > 0 ? classMods | Modifier.ABSTRACT : classMods & ~Modifier.ABSTRACT;
            }
            out.writeInt(classMods);

            if (!type.isArray()) {
                Class<?>[] interfaces = type.getInterfaces();
                String[] names = new String[interfaces.length];
                for (int i = 0; i < interfaces.length; i++) {
                    names[i] = interfaces[i].getName();
                }
                Arrays.sort(names);
                for (String name : names) {
                    out.writeUTF(name);
                }
            }

            Field[] fields = type.getDeclaredFields();
            Arrays.sort(fields, new Comparator<Field>() {
                public int compare(Field a, Field b) {
                    return a.getName().compareTo(b.getName());
                }
            });
            for (Field field : fields) {
                int mods = field.getModifiers() & FIELD_MODIFIERS;
                if ((mods & Modifier.PRIVATE) == 0 || (mods & (Modifier.STATIC | Modifier.TRANSIENT)) == 0) {
                    out.writeUTF(field.getName());
                    out.writeInt(mods);
                    out.writeUTF(descriptor(field.getType()));
                }
            }

            if (hasStaticInitializer0(type)) {
                out.writeUTF("<clinit>");
                out.writeInt(Modifier.STATIC);
                out.writeUTF("()V");
            }

            Constructor<?>[] constructors = type.getDeclaredConstructors();
            final String[] constructorDescriptors = new String[constructors.length];
            Integer[] order = new Integer[constructors.length];
            for (int i = 0; i < constructors.length; i++) {
                constructorDescriptors[i] = descriptor(constructors[i].getParameterTypes(), void.class);
                order[i] = Integer.valueOf(i);
            }
            Arrays.sort(order, new Comparator<Integer>() {
                public int compare(Integer a, Integer b) {
                    return constructorDescriptors[a.intValue()].compareTo(constructorDescriptors[b.intValue()]);
                }
            });
            for (Integer index : order) {
                int mods = constructors[index.intValue()].getModifiers() & METHOD_MODIFIERS;
                if ((mods & Modifier.PRIVATE) == 0) {
                    out.writeUTF("<init>");
                    out.writeInt(mods);
                    out.writeUTF(constructorDescriptors[index.intValue()].replace('/', '.'));
                }
            }

            final String[] methodDescriptors = new String[methods.length];
            order = new Integer[methods.length];
            for (int i = 0; i < methods.length; i++) {
                methodDescriptors[i] = descriptor(methods[i].getParameterTypes(), methods[i].getReturnType());
                order[i] = Integer.valueOf(i);
            }
            final Method[] sorted = methods;
            Arrays.sort(order, new Comparator<Integer>() {
                public int compare(Integer a, Integer b) {
                    int byName = sorted[a.intValue()].getName().compareTo(sorted[b.intValue()].getName());
                    return byName != 0 ? byName : methodDescriptors[a.intValue()].compareTo(methodDescriptors[b.intValue()]);
                }
            });
            for (Integer index : order) {
                Method method = methods[index.intValue()];
                int mods = modifiersBeforeWrapping(type, method) & METHOD_MODIFIERS;
                if ((mods & Modifier.PRIVATE) == 0) {
                    out.writeUTF(method.getName());
                    out.writeInt(mods);
                    out.writeUTF(methodDescriptors[index.intValue()].replace('/', '.'));
                }
            }
            out.flush();

            byte[] digest = MessageDigest.getInstance("SHA").digest(bytes.toByteArray());
            long hash = 0;
            for (int i = Math.min(digest.length, 8) - 1; i >= 0; i--) {
                hash = (hash << 8) | (digest[i] & 0xFF);
            }
            return hash;
        }

        /** The declared methods without the prefixed natives that the agent added. */
        private static Method[] originalMethods(Class<?> type) {
            Method[] all = type.getDeclaredMethods();
            int kept = 0;
            for (Method method : all) {
                if (!method.getName().startsWith(NATIVE_METHOD_PREFIX)) {
                    all[kept++] = method;
                }
            }
            return kept == all.length ? all : Arrays.copyOf(all, kept);
        }

        /** A Java method standing for a wrapped native method was native. */
        private static int modifiersBeforeWrapping(Class<?> type, Method method) {
            int mods = method.getModifiers();
            if ((mods & Modifier.NATIVE) != 0) {
                return mods;
            }
            for (Method candidate : type.getDeclaredMethods()) {
                if (candidate.getName().equals(NATIVE_METHOD_PREFIX + method.getName())
                        && Arrays.equals(candidate.getParameterTypes(), method.getParameterTypes())
                        && candidate.getReturnType() == method.getReturnType()) {
                    return mods | Modifier.NATIVE;
                }
            }
            return mods;
        }

        static String descriptor(Class<?>[] parameters, Class<?> result) {
            StringBuilder text = new StringBuilder("(");
            for (Class<?> parameter : parameters) {
                text.append(descriptor(parameter));
            }
            return text.append(')').append(descriptor(result)).toString();
        }

        static String descriptor(Class<?> type) {
            if (type.isArray()) {
                return "[" + descriptor(type.getComponentType());
            }
            if (!type.isPrimitive()) {
                return "L" + type.getName().replace('.', '/') + ";";
            }
            if (type == int.class) {
                return "I";
            } else if (type == long.class) {
                return "J";
            } else if (type == boolean.class) {
                return "Z";
            } else if (type == byte.class) {
                return "B";
            } else if (type == char.class) {
                return "C";
            } else if (type == short.class) {
                return "S";
            } else if (type == float.class) {
                return "F";
            } else if (type == double.class) {
                return "D";
            }
            return "V";
        }
    }

    // Probe calls of probed methods. Thread.start (-31) registers the new
    // thread's creator; Thread.setName (-6) renames the thread once it ran.
    private static final int PROBE_THREAD_START = -31;
    private static final int PROBE_THREAD_NAME = -6;

    public static void __orvane_annotationEnterMethod(int id, Class<?> c, String className, String method,
            String descriptor, Object self, int value) {
        if (id == PROBE_THREAD_START && self instanceof Thread) {
            Agent.registerThreadStart((Thread) self);
        }
        com.orvane.agent.probe.AnnotationHandler.builtinEnter(id, method, self, null);
    }

    public static void __orvane_annotationExitMethod(Object result, int id, Class<?> c, String className, String method,
            String descriptor, Object self) {
        if (id == PROBE_THREAD_NAME && self instanceof Thread && "setName".equals(method)) {
            Agent.setThreadName((Thread) self, ((Thread) self).getName());
        }
        com.orvane.agent.probe.AnnotationHandler.builtinExit(id);
    }

    public static void __orvane_annotationExitMethod(int result, int id, Class<?> c, String className, String method,
            String descriptor, Object self) {
        com.orvane.agent.probe.AnnotationHandler.builtinExit(id);
    }
}
