package com.orvane.agent.java;

import java.io.ByteArrayOutputStream;
import java.nio.ByteBuffer;

/**
 * The channel between the agent's Java side and the native command loop when the agent opens no
 * socket itself. A Java thread of the agent serves the loop; {@link #readCommand} hands it one
 * framed request at a time in a direct buffer and {@link #write} receives the reply bytes. Another
 * thread hands requests over with {@link #request} and gets the whole reply back: a reply is
 * complete when the loop asks for the next request or ends.
 */
public final class JavaCommunication {
    private static final Object lock = new Object();
    /** The request the loop has not taken yet. */
    private static ByteBuffer pending;
    /** The loop is executing the request it took last. */
    private static boolean serving;
    /** Requests answered in full since the class was loaded. */
    private static long answered;
    /** No further request will be handed over: the loop ends. */
    private static boolean closed;
    /** The loop has ended; set by the thread that served it. */
    private static boolean loopEnded;
    private static final ByteArrayOutputStream reply = new ByteArrayOutputStream();

    private JavaCommunication() {
    }

    /**
     * Called by the native loop: blocks until the next request and returns it (position 0, limit
     * the length), or null once the channel is closed. Asking again means the previous request
     * has been answered in full.
     */
    public static ByteBuffer readCommand() {
        synchronized (lock) {
            finishServing();
            while (pending == null && !closed) {
                try {
                    lock.wait();
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                    return null;
                }
            }
            if (pending == null) {
                return null;
            }
            ByteBuffer request = pending;
            pending = null;
            serving = true;
            lock.notifyAll();
            return request;
        }
    }

    /** Called by the native writer: the first {@code length} bytes of {@code buffer} are reply bytes. */
    public static void write(ByteBuffer buffer, int length) {
        byte[] bytes = new byte[length];
        ByteBuffer view = buffer.duplicate();
        view.clear();
        view.get(bytes, 0, length);
        synchronized (lock) {
            reply.write(bytes, 0, length);
        }
    }

    /**
     * Hands one framed request to the loop and returns every reply byte it wrote for it. Returns
     * what arrived so far when the loop ends first or {@code timeoutMillis} pass; null when the
     * channel is closed or the loop has ended before the request could be handed over.
     */
    public static byte[] request(byte[] frame, long timeoutMillis) throws InterruptedException {
        long deadline = System.currentTimeMillis() + timeoutMillis;
        synchronized (lock) {
            while ((pending != null || serving) && !closed && !loopEnded) {
                if (!waitUntil(deadline)) {
                    return null;
                }
            }
            if (closed || loopEnded) {
                return null;
            }
            reply.reset();
            ByteBuffer request = ByteBuffer.allocateDirect(frame.length);
            request.put(frame);
            request.flip();
            pending = request;
            long ticket = answered + 1;
            lock.notifyAll();
            while (answered < ticket && !loopEnded) {
                if (!waitUntil(deadline)) {
                    break;
                }
            }
            return reply.toByteArray();
        }
    }

    /** No more requests: the loop's next {@link #readCommand} returns null. */
    public static void close() {
        synchronized (lock) {
            closed = true;
            lock.notifyAll();
        }
    }

    /** Called by the thread that served the loop once the native side returned. */
    public static void loopEnded() {
        synchronized (lock) {
            finishServing();
            loopEnded = true;
            lock.notifyAll();
        }
    }

    /** Opens the channel again for a new loop. */
    public static void reopen() {
        synchronized (lock) {
            closed = false;
            loopEnded = false;
            pending = null;
            serving = false;
            lock.notifyAll();
        }
    }

    private static void finishServing() {
        if (serving) {
            serving = false;
            answered++;
            lock.notifyAll();
        }
    }

    private static boolean waitUntil(long deadline) throws InterruptedException {
        long left = deadline - System.currentTimeMillis();
        if (left <= 0) {
            return false;
        }
        lock.wait(left);
        return true;
    }
}
