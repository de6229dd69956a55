package com.orvane.agent;

/**
 * The requests in progress on one thread (probe calls, as the handles of their pseudo methods,
 * outermost first), for the native sampler: it fixes the state with initRequestState and reads it with
 * getRequestCount and getRequests, while the thread goes on.
 */
public final class ThreadManager {
    private static final ThreadLocal<ThreadManager> CURRENT = new ThreadLocal<ThreadManager>();

    private long[] requests = new long[4];
    private int depth;
    private long[] state = new long[0];

    private ThreadManager() {
    }

    /** The calling thread's manager, made and made known to the agent on first use. */
    public static ThreadManager current() {
        ThreadManager manager = CURRENT.get();
        if (manager == null) {
            manager = new ThreadManager();
            CURRENT.set(manager);
            try {
                manager.register0();
            } catch (Throwable unbound) {
                // Without the native agent nobody asks.
            }
        }
        return manager;
    }

    /** A request begins on this thread. */
    public synchronized void enterRequest(long method) {
        if (depth == requests.length) {
            long[] larger = new long[depth * 2];
            System.arraycopy(requests, 0, larger, 0, depth);
            requests = larger;
        }
        requests[depth++] = method;
    }

    /** The innermost request ends; nothing when none is open. */
    public synchronized void exitRequest() {
        if (depth > 0) {
            depth--;
        }
    }

    /** Fixes the state the next two calls read. */
    public synchronized void initRequestState() {
        long[] copy = new long[depth];
        System.arraycopy(requests, 0, copy, 0, depth);
        state = copy;
    }

    public synchronized int getRequestCount() {
        return state.length;
    }

    public synchronized long[] getRequests() {
        return state;
    }

    private native void register0();
}
