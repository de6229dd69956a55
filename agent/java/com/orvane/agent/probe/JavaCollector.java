package com.orvane.agent.probe;

/** The request a probe reply is collected for; the native side passes null when it has none. */
public interface JavaCollector {
}
