package com.orvane.api.agent;

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
}
