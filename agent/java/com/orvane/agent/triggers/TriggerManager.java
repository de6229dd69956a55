package com.orvane.agent.triggers;

/** Switches of the trigger machinery, read by the native agent. */
public final class TriggerManager {
    /** All triggers are on; the native agent reads this field. */
    public static volatile boolean globalEnabled = true;

    private TriggerManager() {
    }
}
