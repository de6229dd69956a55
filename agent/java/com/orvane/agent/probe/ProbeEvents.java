package com.orvane.agent.probe;

import java.io.ByteArrayOutputStream;
import java.io.DataOutputStream;
import java.io.IOException;
import java.util.ArrayList;
import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.WeakHashMap;

/**
 * The calls of the built-in probes: file I/O (open, read, write, close of file streams) and thread
 * starts. Each call is entered as the probe's pseudo method under the calling method, and its payload
 * (the file's path, the started thread's name) is kept here per annotation id of the calling node,
 * with the number of calls and their time. A call inside another probe call of the same thread is
 * part of the outer one.
 */
final class ProbeEvents {
    static final String FILE_PROBE = "builtin.FileProbe";
    static final String THREAD_PROBE = "builtin.ThreadInterceptor";
    static final int FILE_TYPE = 10;
    static final int THREAD_TYPE = 6;

    private static final int KIND_FILE = -10;
    private static final int KIND_FILE_IO = -30;
    private static final int KIND_THREAD_START = -31;
    private static final int KIND_EXCEPTIONAL = -8;
    private static final String UNKNOWN_FILE = "[unknown file]";

    static volatile boolean fileProbe;
    static volatile boolean threadProbe;

    /** One payload at one call site: the calls and their time in microseconds. */
    static final class Row {
        final int id;
        final long thread;
        final String payload;
        int count;
        long time;

        Row(int id, long thread, String payload) {
            this.id = id;
            this.thread = thread;
            this.payload = payload;
        }
    }

    /** A probe call in progress on a thread. */
    private static final class Open {
        final int kind;
        final String probe;
        final String payload;
        final int id;
        final long thread;
        final long handle;
        final boolean request;
        final long start;
        /** Probed calls of the same kind inside this one (read(byte[]) calling read(byte[],int,int)). */
        int nested;

        Open(int kind, String probe, String payload, int id, long thread, long handle, boolean request, long start) {
            this.kind = kind;
            this.probe = probe;
            this.payload = payload;
            this.id = id;
            this.thread = thread;
            this.handle = handle;
            this.request = request;
            this.start = start;
        }
    }

    private static final Object LOCK = new Object();
    /** Per probe name the rows, keyed by id, thread and payload. */
    private static final Map<String, Map<List<Object>, Row>> ROWS = new LinkedHashMap<String, Map<List<Object>, Row>>();
    private static final Map<Object, String> PATHS = Collections.synchronizedMap(new WeakHashMap<Object, String>());
    private static final ThreadLocal<Open[]> OPEN = new ThreadLocal<Open[]>() {
        @Override
        protected Open[] initialValue() {
            return new Open[1];
        }
    };

    private ProbeEvents() {
    }

    /** Reads the probe switches of the session configuration. */
    static void updateSwitches() {
        try {
            fileProbe = AnnotationHandler.isProbeEnabled0(FILE_TYPE);
            threadProbe = AnnotationHandler.isProbeEnabled0(THREAD_TYPE);
        } catch (Throwable unbound) {
            fileProbe = false;
            threadProbe = false;
            return;
        }
        // The probed JDK classes are loaded before the agent sees any class:
        // they are rewritten once, when their probe is first switched on.
        if (fileProbe && !fileClassesRewritten) {
            fileClassesRewritten = true;
            rewrite(java.io.FileInputStream.class);
            rewrite(java.io.FileOutputStream.class);
            rewrite(java.io.RandomAccessFile.class);
        }
        if (threadProbe && !threadClassRewritten) {
            threadClassRewritten = true;
            rewrite(Thread.class);
        }
    }

    private static boolean fileClassesRewritten;
    private static boolean threadClassRewritten;

    private static void rewrite(Class<?> type) {
        try {
            com.orvane.agent.Agent.retransform(type);
        } catch (Throwable refused) {
            // The VM keeps the class as it is: its calls are not probed.
        }
    }

    static boolean isBuiltin(String probe) {
        return FILE_PROBE.equals(probe) || THREAD_PROBE.equals(probe);
    }

    /** A probed method begins; `arguments` is null when the hook passes an int. */
    static void enter(int kind, String method, Object self, Object[] arguments) {
        if (kind == KIND_EXCEPTIONAL) {
            // The method's own entry hook follows: it begins the run. While the
            // hooks do not reach the agent, no entry would take the mark.
            if (com.orvane.agent.InstrumentationCallee.isRecording()) {
                com.orvane.agent.Agent.enterExceptionalMethod();
            }
            return;
        }
        String probe;
        String payload;
        if ((kind == KIND_FILE || kind == KIND_FILE_IO) && fileProbe) {
            probe = FILE_PROBE;
            payload = filePayload(method, self, arguments);
        } else if (kind == KIND_THREAD_START && threadProbe && self instanceof Thread) {
            probe = THREAD_PROBE;
            payload = ((Thread) self).getName();
        } else {
            return;
        }
        Open[] slot = OPEN.get();
        if (slot[0] != null) {
            if (slot[0].kind == kind) {
                slot[0].nested++;
            }
            return;
        }
        long[] info = new long[7];
        AnnotationHandler.fillAnnotationInfo(info, true, 0L, 0, null);
        if (info[1] == 0L) {
            // The agent's own threads and threads it does not profile.
            return;
        }
        long handle = AnnotationHandler.enterAnnotationMethod(probe, 0L, false);
        // With sampling the call is a request in progress on the thread.
        long request = handle == 0L ? AnnotationHandler.getProbeRequest0(probe) : 0L;
        if (request != 0L) {
            com.orvane.agent.ThreadManager.current().enterRequest(request);
        }
        slot[0] = new Open(kind, probe, payload, (int) info[0], info[1], handle, request != 0L, System.nanoTime());
    }

    /** The probed method ends, normally or by an exception. */
    static void exit(int kind) {
        Open[] slot = OPEN.get();
        Open open = slot[0];
        if (open == null || open.kind != kind) {
            return;
        }
        if (open.nested > 0) {
            open.nested--;
            return;
        }
        slot[0] = null;
        if (open.handle != 0L) {
            AnnotationHandler.exitAnnotationMethod(open.handle, 0L);
        }
        if (open.request) {
            com.orvane.agent.ThreadManager.current().exitRequest();
        }
        long micros = (System.nanoTime() - open.start) / 1000L;
        synchronized (LOCK) {
            Map<List<Object>, Row> rows = ROWS.get(open.probe);
            if (rows == null) {
                rows = new LinkedHashMap<List<Object>, Row>();
                ROWS.put(open.probe, rows);
            }
            List<Object> key = new ArrayList<Object>(3);
            key.add(Integer.valueOf(open.id));
            key.add(Long.valueOf(open.thread));
            key.add(open.payload);
            Row row = rows.get(key);
            if (row == null) {
                row = new Row(open.id, open.thread, open.payload);
                rows.put(key, row);
            }
            row.count++;
            row.time += micros;
        }
    }

    private static String filePayload(String method, Object self, Object[] arguments) {
        if (("open".equals(method) || "openAppend".equals(method)) && arguments != null && arguments.length > 0
                && arguments[0] instanceof String) {
            String path = (String) arguments[0];
            PATHS.put(self, path);
            return path;
        }
        String path = "close".equals(method) ? PATHS.remove(self) : PATHS.get(self);
        return path != null ? path : UNKNOWN_FILE;
    }

    /** A copy of the rows of a probe, empty when it has none. */
    static List<Row> rows(String probe) {
        synchronized (LOCK) {
            Map<List<Object>, Row> rows = ROWS.get(probe);
            List<Row> copy = new ArrayList<Row>();
            if (rows != null) {
                for (Row r : rows.values()) {
                    Row c = new Row(r.id, r.thread, r.payload);
                    c.count = r.count;
                    c.time = r.time;
                    copy.add(c);
                }
            }
            return copy;
        }
    }

    /** The probes that have rows, in the order they were first called. */
    static List<String> probes() {
        synchronized (LOCK) {
            return new ArrayList<String>(ROWS.keySet());
        }
    }

    /**
     * The rows of each id of `from` go to the id at the same index of `to`, joining the rows there
     * with the same thread and payload; without `add` the rows the new ids held are dropped first.
     */
    static void move(long[] from, long[] to, boolean add) {
        int n = Math.min(from.length, to.length);
        Map<Integer, Integer> target = new LinkedHashMap<Integer, Integer>();
        for (int i = 0; i < n; i++) {
            target.put(Integer.valueOf((int) from[i]), Integer.valueOf((int) to[i]));
        }
        synchronized (LOCK) {
            for (Map.Entry<String, Map<List<Object>, Row>> probe : ROWS.entrySet()) {
                Map<List<Object>, Row> moved = new LinkedHashMap<List<Object>, Row>();
                for (Row r : probe.getValue().values()) {
                    Integer newId = target.get(Integer.valueOf(r.id));
                    boolean replaced = !add && target.containsValue(Integer.valueOf(r.id)) && newId == null;
                    if (replaced) {
                        continue;
                    }
                    int id = newId != null ? newId.intValue() : r.id;
                    List<Object> key = new ArrayList<Object>(3);
                    key.add(Integer.valueOf(id));
                    key.add(Long.valueOf(r.thread));
                    key.add(r.payload);
                    Row row = moved.get(key);
                    if (row == null) {
                        row = new Row(id, r.thread, r.payload);
                        moved.put(key, row);
                    }
                    row.count += r.count;
                    row.time += r.time;
                }
                probe.setValue(moved);
            }
        }
    }

    /** Forgets every row (the recorded data was reset). */
    static void clear() {
        synchronized (LOCK) {
            ROWS.clear();
        }
    }

    /** U4 n, n x (U4 id, JLong thread, UTF payload, U4 calls, JLong time in microseconds). */
    static byte[] encode(List<Row> rows) {
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        DataOutputStream out = new DataOutputStream(bytes);
        try {
            out.writeInt(rows.size());
            for (Row r : rows) {
                out.writeInt(r.id);
                out.writeLong(r.thread);
                out.writeUTF(r.payload);
                out.writeInt(r.count);
                out.writeLong(r.time);
            }
            out.flush();
        } catch (IOException cannotHappen) {
            return new byte[0];
        }
        return bytes.toByteArray();
    }
}
