package com.orvane.agent.probe;

/**
 * The Java side of the probes that the native agent asks for its front-end commands: the probe
 * recording settings the front end sends (commands 87 and 90), the probe descriptions (62) and
 * the probe telemetry (86); and the Java part of snapshots (their last section), which the native
 * agent starts before it takes its locks, lets save probe payloads between its sections and asks
 * for last. The payloads of the built-in probes are kept by ProbeEvents and saved into the snapshot part.
 */
public final class AnnotationHandler {
    private static final int SETTINGS_COMMAND = 87;
    private static byte[] settings;
    private static byte[] recording;
    private static volatile String saveFile;
    private static volatile boolean written;

    private AnnotationHandler() {
    }

    /** Command 87 carries the probe settings, 90 the probes to record. */
    public static synchronized void setProbeRecording(int command, byte[] bytes) {
        if (command == SETTINGS_COMMAND) {
            settings = bytes;
        } else {
            recording = bytes;
        }
    }

    /** The probes to record as the front end sent them, for snapshots; null when none were sent. */
    public static synchronized byte[] getProbeRecording() {
        return recording;
    }

    /**
     * The probe descriptions: U4 n, n x (UTF probe name, U4 probe type) of the probes switched on
     * or called; null while there are none.
     */
    public static byte[] getMetaData(JavaCollector collector, boolean all) {
        java.util.List<String> names = new java.util.ArrayList<String>();
        if (ProbeEvents.fileProbe) {
            names.add(ProbeEvents.FILE_PROBE);
        }
        if (ProbeEvents.threadProbe) {
            names.add(ProbeEvents.THREAD_PROBE);
        }
        for (String probe : ProbeEvents.probes()) {
            if (!names.contains(probe)) {
                names.add(probe);
            }
        }
        if (names.isEmpty()) {
            return null;
        }
        java.io.ByteArrayOutputStream bytes = new java.io.ByteArrayOutputStream();
        java.io.DataOutputStream out = new java.io.DataOutputStream(bytes);
        try {
            out.writeInt(names.size());
            for (String name : names) {
                out.writeUTF(name);
                out.writeInt(ProbeEvents.FILE_PROBE.equals(name) ? ProbeEvents.FILE_TYPE : ProbeEvents.THREAD_TYPE);
            }
            out.flush();
        } catch (java.io.IOException cannotHappen) {
            return null;
        }
        return bytes.toByteArray();
    }

    /**
     * Writes the probe telemetry into the named file: U4 n, n x (UTF probe name, U4 calls, JLong
     * time in microseconds) over everything recorded; false when no probe was called.
     */
    public static boolean getTelemetryData(JavaCollector collector, byte[] fileName) {
        java.util.List<String> probes = ProbeEvents.probes();
        if (probes.isEmpty() || fileName == null) {
            return false;
        }
        java.io.ByteArrayOutputStream bytes = new java.io.ByteArrayOutputStream();
        java.io.DataOutputStream out = new java.io.DataOutputStream(bytes);
        try {
            out.writeInt(probes.size());
            for (String probe : probes) {
                int calls = 0;
                long time = 0;
                for (ProbeEvents.Row row : ProbeEvents.rows(probe)) {
                    calls += row.count;
                    time += row.time;
                }
                out.writeUTF(probe);
                out.writeInt(calls);
                out.writeLong(time);
            }
            out.flush();
        } catch (java.io.IOException cannotHappen) {
            return false;
        }
        return writeFile(fileName, bytes.toByteArray());
    }

    /**
     * The tuples of a probe for its call-site view: writes into the named file the rows of
     * ProbeEvents.encode and returns {int[] annotation ids, long[] thread handles} of the calls
     * whose call site was recorded; null when the probe has no rows.
     */
    public static Object[] getTupleData(JavaCollector collector, String probe, byte[] fileName) {
        java.util.List<ProbeEvents.Row> rows = ProbeEvents.rows(probe);
        if (rows.isEmpty() || fileName == null || !writeFile(fileName, ProbeEvents.encode(rows))) {
            return null;
        }
        java.util.LinkedHashSet<Integer> ids = new java.util.LinkedHashSet<Integer>();
        java.util.LinkedHashSet<Long> threads = new java.util.LinkedHashSet<Long>();
        for (ProbeEvents.Row row : rows) {
            if (row.id != 0) {
                ids.add(Integer.valueOf(row.id));
                threads.add(Long.valueOf(row.thread));
            }
        }
        int[] idArray = new int[ids.size()];
        int i = 0;
        for (Integer id : ids) {
            idArray[i++] = id.intValue();
        }
        long[] threadArray = new long[threads.size()];
        i = 0;
        for (Long thread : threads) {
            threadArray[i++] = thread.longValue();
        }
        return new Object[] {idArray, threadArray};
    }

    /**
     * The payloads behind the annotation ids of a call-tree node: U4 n and the n ids (low 32 bits)
     * that carry payloads of the built-in probes; null when none does.
     */
    public static byte[] getBytes(JavaCollector collector, long[] ids) {
        if (ids == null || ids.length == 0) {
            return null;
        }
        java.util.LinkedHashSet<Integer> known = new java.util.LinkedHashSet<Integer>();
        for (String probe : ProbeEvents.probes()) {
            for (ProbeEvents.Row row : ProbeEvents.rows(probe)) {
                for (long id : ids) {
                    if (row.id != 0 && row.id == (int) id) {
                        known.add(Integer.valueOf(row.id));
                    }
                }
            }
        }
        if (known.isEmpty()) {
            return null;
        }
        java.nio.ByteBuffer bytes = java.nio.ByteBuffer.allocate(4 + 4 * known.size());
        bytes.putInt(known.size());
        for (Integer id : known) {
            bytes.putInt(id.intValue());
        }
        return bytes.array();
    }

    private static boolean writeFile(byte[] fileName, byte[] content) {
        String path = new String(fileName, java.nio.charset.StandardCharsets.UTF_8);
        java.io.FileOutputStream out = null;
        try {
            out = new java.io.FileOutputStream(path);
            out.write(content);
            return true;
        } catch (java.io.IOException failed) {
            return false;
        } finally {
            if (out != null) {
                try {
                    out.close();
                } catch (java.io.IOException ignored) {
                }
            }
        }
    }

    /** With sampling, the handle of the probe's pseudo method as a request; 0 otherwise. */
    static native long getProbeRequest0(String probe);

    /** The probe switch of a probe type in the session configuration. */
    static native boolean isProbeEnabled0(int type);

    /**
     * Where a probe payload belongs, into seven longs: the annotation id of the calling node (0:
     * not recorded), the thread's handle (0: a thread the agent does not profile), four running
     * totals and the current time in microseconds.
     */
    public static native void fillAnnotationInfo(long[] info, boolean callSite, long thread, int count, Object[] methods);

    /**
     * A merge of call-tree nodes moved the calls of each id of `from` to the id at the same index of
     * `to`: their payloads follow, added to what the new id holds, or replacing it when `add` is false
     * (its node was emptied first).
     */
    public static void moveAnnotations(long[] from, long[] to, boolean add) {
        if (from == null || to == null) {
            return;
        }
        ProbeEvents.move(from, to, add);
    }

    /** Forgets the payloads of every probe: CPU recording starts anew. */
    public static void reset() {
        ProbeEvents.clear();
    }

    /** The session configuration changed: the built-in probes follow their switches. */
    public static void updateSwitches() {
        ProbeEvents.updateSwitches();
    }

    /** A probed method begins (the hooks of the rewritten classes); `arguments` null for an int. */
    public static void builtinEnter(int kind, String method, Object self, Object[] arguments) {
        ProbeEvents.enter(kind, method, self, arguments);
    }

    /** The probed method ends. */
    public static void builtinExit(int kind) {
        ProbeEvents.exit(kind);
    }

    /**
     * A probe call begins on the calling thread: the probe `name` is recorded under the method that
     * called it. Returns the handle for exitAnnotationMethod, 0 when nothing was recorded.
     */
    public static native long enterAnnotationMethod(String name, long thread, boolean nested);

    /** Where a probe payload was made: the call's node and the method that made it. */
    public static final class CallSite {
        /** The annotation id of the calling thread's current call. */
        public final int id;
        /** The handle of the nearest recorded method of that call, 0 for none. */
        public final long method;

        public CallSite(int id, long method) {
            this.id = id;
            this.method = method;
        }
    }

    /** The calling thread's call site; null while it has no recorded call. */
    public static native CallSite getCallSite(long thread);

    /** Stores `value` in the first four bytes of `bytes` in the host's byte order; returns 4 (0: too short). */
    public static native int getSnapshotId(byte[] bytes, int value);

    /** The probe call that enterAnnotationMethod began ends. */
    public static native void exitAnnotationMethod(long method, long thread);

    static synchronized byte[] getSettings() {
        return settings;
    }

    /** A snapshot starts; `fileName` names the file (UTF-8 bytes) the part would be written to. */
    public static void startSave(byte[] fileName, boolean recorder, String[] javaArguments) {
        saveFile = fileName == null ? null : new String(fileName, java.nio.charset.StandardCharsets.UTF_8);
    }

    /**
     * Between the locked sections: the payloads of every probe go into the file of startSave as
     * byte 1, U4 n and n x (UTF probe name, U4 calls, JLong time in microseconds, U4 length and
     * the rows of ProbeEvents.encode, U4 k and the k annotation ids of the rows' call sites).
     * Nothing is written when payloads are not asked for or no probe has any.
     */
    public static void savePayloads(boolean savePayloads) {
        String file = saveFile;
        written = false;
        java.util.List<String> probes = ProbeEvents.probes();
        if (!savePayloads || file == null || probes.isEmpty()) {
            return;
        }
        java.io.ByteArrayOutputStream bytes = new java.io.ByteArrayOutputStream();
        java.io.DataOutputStream out = new java.io.DataOutputStream(bytes);
        try {
            out.writeByte(1);
            out.writeInt(probes.size());
            for (String probe : probes) {
                java.util.List<ProbeEvents.Row> rows = ProbeEvents.rows(probe);
                int calls = 0;
                long time = 0;
                java.util.LinkedHashSet<Integer> ids = new java.util.LinkedHashSet<Integer>();
                for (ProbeEvents.Row row : rows) {
                    calls += row.count;
                    time += row.time;
                    if (row.id != 0) {
                        ids.add(Integer.valueOf(row.id));
                    }
                }
                byte[] tuples = ProbeEvents.encode(rows);
                out.writeUTF(probe);
                out.writeInt(calls);
                out.writeLong(time);
                out.writeInt(tuples.length);
                out.write(tuples);
                out.writeInt(ids.size());
                for (Integer id : ids) {
                    out.writeInt(id.intValue());
                }
            }
            out.flush();
        } catch (java.io.IOException cannotHappen) {
            return;
        }
        written = writeFile(file.getBytes(java.nio.charset.StandardCharsets.UTF_8), bytes.toByteArray());
    }

    /** True when savePayloads wrote the part into the file of startSave. */
    public static boolean finishSave() {
        saveFile = null;
        boolean done = written;
        written = false;
        return done;
    }
}
