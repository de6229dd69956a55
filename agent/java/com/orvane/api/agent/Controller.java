package com.orvane.api.agent;

import com.orvane.agent.ControllerImpl;
import com.orvane.agent.triggers.TriggerManager;
import java.util.HashSet;
import java.util.Set;

/** Controls of the profiling agent that the native agent calls on the front end's behalf. */
public final class Controller {
    private static final Set<String> disabledGroups = new HashSet<String>();

    private Controller() {
    }

    /** Switches one trigger group on or off. */
    public static void enableTriggerGroup(boolean enable, String group) {
        synchronized (disabledGroups) {
            if (enable) {
                disabledGroups.remove(group);
            } else {
                disabledGroups.add(group);
            }
        }
    }

    /** Switches all triggers on or off. */
    public static void enableTriggers(boolean enable) {
        TriggerManager.globalEnabled = enable;
    }

    public static boolean isTriggerGroupEnabled(String group) {
        synchronized (disabledGroups) {
            return TriggerManager.globalEnabled && !disabledGroups.contains(group);
        }
    }

    /** Starts recording call trees; with reset the trees recorded so far are cleared. */
    public static void startCPURecording(boolean reset) {
        ControllerImpl.startCPURecording(reset);
    }

    /** Stops recording call trees. */
    public static void stopCPURecording() {
        ControllerImpl.stopCPURecording();
    }

    /** Starts the call tracer with at most cap calls; reset starts a new list. */
    public static void startCallTracer(int cap, boolean recordFiltered, boolean reset) {
        ControllerImpl.startCallTracer(cap, recordFiltered, reset);
    }

    /** Stops the call tracer. */
    public static void stopCallTracer() {
        ControllerImpl.stopCallTracer();
    }

    /** Starts recording method statistics. */
    public static void startMethodStatsRecording() {
        ControllerImpl.startMethodStatsRecording();
    }

    /** Stops recording method statistics. */
    public static void stopMethodStatsRecording() {
        ControllerImpl.stopMethodStatsRecording();
    }

    /**
     * Starts recording monitor events at least blockThreshold (blocked) or waitThreshold (waiting)
     * microseconds long.
     */
    public static void startMonitorRecording(int blockThreshold, int waitThreshold) {
        ControllerImpl.startMonitorRecording(blockThreshold, waitThreshold);
    }

    /** Stops recording monitor events. */
    public static void stopMonitorRecording() {
        ControllerImpl.stopMonitorRecording();
    }

    /** Takes a stack trace of every profiled thread now. */
    public static void triggerThreadDump() {
        ControllerImpl.triggerThreadDump();
    }
}
