package com.orvane.core.comm.internal;

import java.io.BufferedReader;
import java.io.InputStreamReader;

// The snapshot loader of a front end: a VM without the agent loads the
// agent's library and serves saved snapshots on a port, one front end each.
//
//   java -cp ... com.orvane.core.comm.internal.LoadPerformer LIBRARY
//   then lines on standard input: "load SNAPSHOT PORT SECTIONS [HEAPDUMP]", "exit";
//   the words of a line are separated by tabs, so that a path may hold a space
public final class LoadPerformer {
    // Serves the snapshot at snapshotPath on port until the front end leaves; returns 1.
    static native int loadSnapshot(byte[] snapshotPath, int port, int sections, Object javaObject, byte[] configPath,
                                   byte[] heapDumpPath);

    private LoadPerformer() {
    }

    public static void main(String[] args) throws Exception {
        System.load(args[0]);
        System.out.println("ready");
        BufferedReader in = new BufferedReader(new InputStreamReader(System.in));
        for (String line; (line = in.readLine()) != null;) {
            String[] words = line.split("\t");
            if (words[0].equals("exit")) {
                break;
            }
            if (!words[0].equals("load") || words.length < 4) {
                System.out.println("unknown: " + line);
                continue;
            }
            int port;
            int sections;
            try {
                port = Integer.parseInt(words[2]);
                sections = Integer.parseInt(words[3]);
            } catch (NumberFormatException e) {
                System.out.println("unknown: " + line);
                continue;
            }
            byte[] heapDump = words.length > 4 ? words[4].getBytes("UTF-8") : null;
            int result = loadSnapshot(words[1].getBytes("UTF-8"), port, sections, new LoadPerformer(), null, heapDump);
            System.out.println("loadSnapshot returned " + result);
        }
        System.out.println("done");
    }
}
