package com.orvane.agent;

import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;

// Stand-in for the agent's hook class: keeps a method stack per thread and
// counts what rewritten code reports, so that a test can check that every
// entry has its exit and how often each method ran.
public final class InstrumentationCallee {
    static final class Stack {
        int[] ids = new int[64];
        int size;

        void push(int id) {
            if (size == ids.length)
                ids = java.util.Arrays.copyOf(ids, size * 2);
            ids[size++] = id;
        }

        int indexOf(int id) {
            for (int i = size - 1; i >= 0; i--)
                if (ids[i] == id)
                    return i;
            return -1;
        }
    }

    private static final List<Stack> STACKS = new ArrayList<>();
    private static final ThreadLocal<Stack> STACK = new ThreadLocal<Stack>() {
        @Override
        protected Stack initialValue() {
            Stack s = new Stack();
            synchronized (STACKS) {
                STACKS.add(s);
            }
            return s;
        }
    };
    // id -> {entries, filtered entries, constructor entries, array allocations}
    private static final Map<Integer, long[]> COUNTS = new TreeMap<>();
    static long calls, mismatches, unwound, strayHandlers, hints, enterSleeps, exitSleeps, netIo, sleeps;

    private InstrumentationCallee() {}

    // Probe calls: entries, exits, exits of a probe never entered on the thread.
    static long probeEnters, probeExits, probeMismatches;
    private static final ThreadLocal<int[]> PROBE_DEPTH = ThreadLocal.withInitial(() -> new int[1]);

    static synchronized void probeEnter() {
        probeEnters++;
        PROBE_DEPTH.get()[0]++;
    }

    static synchronized void probeExit() {
        probeExits++;
        if (PROBE_DEPTH.get()[0]-- <= 0)
            probeMismatches++;
    }

    public static void __orvane_annotationEnterMethod(int id, Class<?> c, String cls, String m, String d, Object self,
            Object[] args) {
        probeEnter();
    }

    public static void __orvane_annotationEnterMethod(int id, Class<?> c, String cls, String m, String d, Object self,
            int value) {
        probeEnter();
    }

    public static void __orvane_annotationExitMethod(Object result, int id, Class<?> c, String cls, String m, String d,
            Object self) {
        probeExit();
    }

    public static void __orvane_annotationExitMethod(int result, int id, Class<?> c, String cls, String m, String d,
            Object self) {
        probeExit();
    }

    static int id(short low, short high) {
        return (high << 16) | (low & 0xFFFF);
    }

    static synchronized void count(int id, int kind) {
        long[] c = COUNTS.get(id);
        if (c == null)
            COUNTS.put(id, c = new long[4]);
        c[kind]++;
        calls++;
    }

    static void enter(int id, int kind) {
        count(id, kind);
        STACK.get().push(id);
    }

    static void exit(int id) {
        Stack s = STACK.get();
        int at = s.indexOf(id);
        synchronized (InstrumentationCallee.class) {
            calls++;
            if (at < 0) {
                mismatches++;
                return;
            }
            if (at != s.size - 1)
                unwound++;
        }
        s.size = at;
    }

    static int top() {
        Stack s = STACK.get();
        return s.size == 0 ? 0 : s.ids[s.size - 1];
    }

    public static void __orvane_enterMethod(short low, short high, short line) { enter(id(low, high), 0); }

    public static void __orvane_exitMethod(short low, short high) { exit(id(low, high)); }

    public static void __orvane_exceptionHandlerMethod(short low, short high) {
        Stack s = STACK.get();
        int at = s.indexOf(id(low, high));
        synchronized (InstrumentationCallee.class) {
            calls++;
            if (at < 0) {
                // a constructor entered from code that reports nothing
                strayHandlers++;
                return;
            }
        }
        s.size = at + 1;
    }

    public static void __orvane_filter_enterMethod(short low, short high, short line) { enter(id(low, high), 1); }

    public static void __orvane_filter_exitMethod(short low, short high) { exit(id(low, high)); }

    public static void __orvane_enterConstructor(short low, short high, short line) { enter(id(low, high), 2); }

    public static synchronized void __orvane_linenumber_hint(short line) { hints++; }

    public static void __orvane_cobalt_enterMethod(short low, short high, short line) { enter(id(low, high), 0); }

    public static void __orvane_cobalt_exitMethod(short low, short high) { exit(id(low, high)); }

    public static synchronized void __orvane_enterSleep() { enterSleeps++; }

    public static synchronized void __orvane_exitSleep() { exitSleeps++; }

    public static synchronized void __orvane_netIOMethod(short a, short b) { netIo++; }

    public static void __orvane_registerClass(Class<?> c) {}

    public static long __orvane_computeDefaultSUID(Class<?> c) { return 0; }

    static void arrayAllocation() { count(top(), 3); }

    static synchronized void slept() { sleeps++; }

    // The report the test reads: one line per counter, then per method id.
    public static String report() {
        StringBuilder b = new StringBuilder();
        int open = 0;
        synchronized (STACKS) {
            for (Stack s : STACKS)
                if (s.size != 0)
                    open++;
        }
        synchronized (InstrumentationCallee.class) {
            b.append("HOOK-CALLS ").append(calls).append('\n');
            b.append("MISMATCHES ").append(mismatches).append('\n');
            b.append("UNWOUND ").append(unwound).append('\n');
            b.append("STRAY-HANDLERS ").append(strayHandlers).append('\n');
            b.append("OPEN-STACKS ").append(open).append('\n');
            b.append("HINTS ").append(hints).append('\n');
            b.append("SLEEP-WRAPS ").append(enterSleeps).append(' ').append(exitSleeps).append('\n');
            b.append("REDIRECTED-SLEEPS ").append(sleeps).append('\n');
            b.append("PROBE-ENTERS ").append(probeEnters).append('\n');
            b.append("PROBE-EXITS ").append(probeExits).append('\n');
            b.append("PROBE-MISMATCHES ").append(probeMismatches).append('\n');
            for (Map.Entry<Integer, long[]> e : COUNTS.entrySet()) {
                long[] c = e.getValue();
                b.append("COUNT ").append(e.getKey()).append(' ').append(c[0]).append(' ').append(c[1]).append(' ')
                        .append(c[2]).append(' ').append(c[3]).append('\n');
            }
        }
        return b.toString();
    }
}
