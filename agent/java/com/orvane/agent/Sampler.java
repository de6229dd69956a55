package com.orvane.agent;

import com.orvane.agent.java.Transformer;

/**
 * The Java side's telemetry tick: once a second hands the native agent the heap's used and
 * committed bytes and the values of the custom series (kept while it records VM telemetry), and
 * now and then auto-tunes the instrumentation.
 */
final class Sampler implements Runnable {
    private static final long TICK_MS = 1000;
    private static boolean started;
    private static int[] customValues = new int[0];
    private static long ticks;

    private Sampler() {
    }

    /** Starts the sampling thread once; it is an agent thread and never profiled. */
    static synchronized void start() {
        if (started || initNative() != 1) {
            return;
        }
        started = true;
        Thread thread = new Thread(new Sampler(), "_orvane_sampler");
        thread.setDaemon(true);
        thread.start();
    }

    /** Custom telemetry series: their descriptions, then a value per series on each tick. */
    static synchronized void setCustomSeries(String[] names, int[] types, long[] values) {
        customValues = new int[names.length];
        initDescriptions(names, types, values);
    }

    static synchronized void setCustomValue(int index, int value) {
        if (index >= 0 && index < customValues.length) {
            customValues[index] = value;
        }
    }

    private static synchronized int[] customValues() {
        return customValues.clone();
    }

    @Override
    public void run() {
        while (true) {
            try {
                Thread.sleep(TICK_MS);
            } catch (InterruptedException e) {
                return;
            }
            // Every tick reaches the agent, which also keeps its house on it; a sample is
            // kept only while it records VM telemetry. The runtime counts the regions being
            // filled, which the memory beans of some collectors leave out until the next collection.
            Runtime runtime = Runtime.getRuntime();
            long committed = runtime.totalMemory();
            doSampling(committed - runtime.freeMemory(), committed, customValues());
            // Auto-tuning after half a minute, two minutes and every five minutes.
            ticks++;
            if ((ticks == 30 || ticks == 120 || ticks % 300 == 0) && Transformer.isAutoTune()) {
                Transformer.autoTune();
            }
        }
    }

    private static native int initNative();

    private static native boolean shouldSample();

    private static native boolean doSampling(long memory1, long memory2, int[] values);

    private static native void initDescriptions(String[] names, int[] types, long[] values);
}
