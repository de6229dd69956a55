package instrprog;

import java.io.BufferedReader;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.io.ObjectStreamClass;
import java.io.OutputStream;
import java.io.PrintWriter;
import java.io.Serializable;
import java.lang.reflect.Method;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.locks.LockSupport;

/**
 * A program whose methods run a known number of times, for the instrumentation tests: recursion,
 * exceptions thrown through several frames, constructors, arrays, sleeps, waits, a contended lock,
 * parking, socket I/O over loopback and a class loaded by a class loader that does not delegate. It
 * prints the same lines with or without a profiling agent; after "done" it waits for the end of
 * standard input, so that a profiler can be asked about the finished run.
 */
public class InstrumentedProgram {
    public static void main(String[] args) throws Exception {
        System.out.println("fib " + Recursion.fib(15));
        System.out.println("exceptions " + Exceptions.run(7));
        System.out.println("parsed " + Exceptions.parse("12") + " " + Exceptions.parse("x") + " " + Exceptions.parse("y"));
        System.out.println("points " + Shapes.build(12));
        long cells = 0;
        for (int i = 1; i <= 4; i++) {
            cells += Arrays2.fill(i);
        }
        System.out.println("cells " + cells);
        Sleeper.nap(20);
        Sleeper.nap(10);
        System.out.println("woke " + Waiter.waitBriefly());
        System.out.println("contended " + Contention.acquire());
        Parker.parkBriefly(20);
        Parker.parkBriefly(10);
        Parker.parkBriefly(0);
        System.out.println("parked");
        System.out.println("echo " + Net.echo(3));
        System.out.println("plugin " + Plugins.run(4));
        System.out.println("components " + Components.run());
        for (String line : Serial.describe()) {
            System.out.println(line);
        }
        Marker.after();
        System.out.println("done");
        System.out.flush();
        while (System.in.read() >= 0) {
        }
    }
}

class Recursion {
    static int fib(int n) {
        return n < 2 ? n : fib(n - 1) + fib(n - 2);
    }
}

class Exceptions {
    static int finallies;

    static String run(int times) {
        StringBuilder caught = new StringBuilder();
        for (int i = 0; i < times; i++) {
            caught.append(outer(i)).append(i + 1 < times ? "," : "");
        }
        return caught + " finallies " + finallies;
    }

    static String outer(int i) {
        try {
            middle(i);
            return "none";
        } catch (IllegalStateException e) {
            return e.getMessage();
        }
    }

    static void middle(int i) {
        try {
            inner(i);
        } finally {
            finallies++;
        }
    }

    static void inner(int i) {
        if (i >= 0) {
            throw new IllegalStateException("e" + i);
        }
    }

    /** An exception thrown by the JDK inside a filtered method and caught here. */
    static int parse(String text) {
        try {
            return Integer.parseInt(text);
        } catch (NumberFormatException e) {
            return -1;
        }
    }
}

/** An interface: the agent leaves its class file as it is. */
interface Sized {
    int size();
}

class Point implements Serializable, Sized {
    final int x;
    final int y;

    Point(int x, int y) {
        this.x = x;
        this.y = y;
    }

    public int size() {
        return 2;
    }
}

class Shapes {
    static int build(int count) {
        int sum = 0;
        for (int i = 0; i < count; i++) {
            Point p = new Point(i, 2 * i);
            sum += p.x + p.y;
        }
        return sum;
    }
}

class Arrays2 {
    static long fill(int n) {
        int[] ints = new int[n * 10];
        String[] texts = new String[n];
        long[][] grid = new long[n][n + 1];
        for (int i = 0; i < ints.length; i++) {
            ints[i] = i;
        }
        for (int i = 0; i < texts.length; i++) {
            texts[i] = "t" + i;
        }
        for (long[] row : grid) {
            for (int j = 0; j < row.length; j++) {
                row[j] = j;
            }
        }
        return ints.length + texts.length + (long) grid.length * grid[0].length;
    }
}

class Sleeper {
    static void nap(long millis) throws InterruptedException {
        Thread.sleep(millis);
    }
}

class Waiter {
    static final Object lock = new Object();

    static boolean waitBriefly() throws InterruptedException {
        synchronized (lock) {
            lock.wait(30);
        }
        return true;
    }
}

class Contention {
    static final Object lock = new Object();

    static boolean acquire() throws InterruptedException {
        final CountDownLatch held = new CountDownLatch(1);
        Thread holder = new Thread(new Runnable() {
            public void run() {
                synchronized (lock) {
                    held.countDown();
                    try {
                        Thread.sleep(60);
                    } catch (InterruptedException stop) {
                        return;
                    }
                }
            }
        }, "holder");
        holder.start();
        held.await();
        synchronized (lock) {
            holder.join();
        }
        return true;
    }
}

class Parker {
    static void parkBriefly(long millis) {
        LockSupport.parkNanos(millis * 1000000L);
    }
}

class Net {
    static String echo(int messages) throws Exception {
        final ServerSocket server = new ServerSocket(0, 1, InetAddress.getLoopbackAddress());
        Thread serving = new Thread(new Runnable() {
            public void run() {
                try {
                    serve(server);
                } catch (IOException e) {
                    System.out.println("server failed " + e);
                }
            }
        }, "echo-server");
        serving.start();
        StringBuilder answers = new StringBuilder();
        try (Socket socket = new Socket(InetAddress.getLoopbackAddress(), server.getLocalPort())) {
            PrintWriter out = new PrintWriter(socket.getOutputStream(), true);
            BufferedReader in = new BufferedReader(new InputStreamReader(socket.getInputStream(), StandardCharsets.UTF_8));
            for (int i = 0; i < messages; i++) {
                answers.append(roundTrip(out, in, "m" + i)).append(' ');
            }
        }
        serving.join();
        server.close();
        return answers.toString().trim();
    }

    static String roundTrip(PrintWriter out, BufferedReader in, String message) throws IOException {
        out.println(message);
        return in.readLine();
    }

    static void serve(ServerSocket server) throws IOException {
        try (Socket client = server.accept()) {
            BufferedReader in = new BufferedReader(new InputStreamReader(client.getInputStream(), StandardCharsets.UTF_8));
            OutputStream out = client.getOutputStream();
            for (String line; (line = in.readLine()) != null;) {
                out.write(("<" + line + ">\n").getBytes(StandardCharsets.UTF_8));
                out.flush();
            }
        }
    }
}

/**
 * Loads the classes of instrprog.plugin itself, from the bytes its parent can see, and shares nothing but
 * java.* with its parent: any other class is not found. Rewritten plugin classes refer to the profiler's
 * hook classes, which such a loader does not know; they must still load.
 */
class ChildFirstLoader extends ClassLoader {
    ChildFirstLoader(ClassLoader parent) {
        super(parent);
    }

    @Override
    protected Class<?> loadClass(String name, boolean resolve) throws ClassNotFoundException {
        synchronized (getClassLoadingLock(name)) {
            Class<?> type = findLoadedClass(name);
            if (type == null && name.startsWith("instrprog.plugin.")) {
                type = define(name);
            }
            if (type == null && name.startsWith("java.")) {
                return super.loadClass(name, resolve);
            }
            if (type == null) {
                throw new ClassNotFoundException(name + " is not shared with plugins");
            }
            if (resolve) {
                resolveClass(type);
            }
            return type;
        }
    }

    private Class<?> define(String name) throws ClassNotFoundException {
        try (InputStream in = getParent().getResourceAsStream(name.replace('.', '/') + ".class")) {
            if (in == null) {
                throw new ClassNotFoundException(name);
            }
            ByteArrayOutputStream bytes = new ByteArrayOutputStream();
            byte[] buffer = new byte[4096];
            for (int n; (n = in.read(buffer)) > 0;) {
                bytes.write(buffer, 0, n);
            }
            byte[] code = bytes.toByteArray();
            return defineClass(name, code, 0, code.length);
        } catch (IOException e) {
            throw new ClassNotFoundException(name, e);
        }
    }
}

class Plugins {
    static String run(int times) throws Exception {
        ChildFirstLoader loader = new ChildFirstLoader(Plugins.class.getClassLoader());
        Class<?> type = loader.loadClass("instrprog.plugin.Plugin");
        Method compute = type.getMethod("compute", int.class);
        StringBuilder results = new StringBuilder(type.getClassLoader() == loader ? "own-loader" : "parent-loader");
        for (int i = 0; i < times; i++) {
            results.append(' ').append(compute.invoke(null, Integer.valueOf(i)));
        }
        return results.toString();
    }
}

/**
 * Classes that look like components to a profiler: a class with a public remove(Object) method, and a
 * proxy of an interface with one. Their constructors (or the proxy's static initialiser) register them.
 */
interface Store {
    void remove(Object item);
}

class Cart implements Store {
    private final java.util.List<Object> items = new java.util.ArrayList<Object>();

    Cart(Object first) {
        this();
        items.add(first);
    }

    Cart() {
        super();
    }

    public void remove(Object item) {
        items.remove(item);
    }

    int size() {
        return items.size();
    }
}

class Components {
    static String run() {
        Cart cart = new Cart("a");
        cart.remove("b");
        final StringBuilder seen = new StringBuilder();
        Store proxy = (Store) java.lang.reflect.Proxy.newProxyInstance(Store.class.getClassLoader(), new Class<?>[] {Store.class},
                new java.lang.reflect.InvocationHandler() {
                    public Object invoke(Object self, java.lang.reflect.Method method, Object[] args) {
                        seen.append(method.getName()).append(' ').append(args[0]);
                        return null;
                    }
                });
        proxy.remove("c");
        return cart.size() + " " + seen;
    }
}

/** Classes without a declared serialVersionUID: their default one must not change under the agent. */
class Serial {
    static String[] describe() {
        Class<?>[] types = {Point.class, WithInitializer.class, WithMembers.class, WithNative.class, Marker.class};
        String[] lines = new String[types.length];
        for (int i = 0; i < types.length; i++) {
            ObjectStreamClass described = ObjectStreamClass.lookup(types[i]);
            lines[i] = "suid " + types[i].getSimpleName() + " " + (described == null ? "none" : described.getSerialVersionUID());
        }
        return lines;
    }

    static class WithInitializer implements Serializable {
        static final long START = System.nanoTime() > 0 ? 1 : 0;
        int value;
    }

    abstract static class WithMembers implements Serializable, Comparable<WithMembers>, Runnable {
        public static int shared;
        private static int hidden;
        private transient int skipped;
        protected volatile long seen;
        String[] names;

        WithMembers() {
        }

        public WithMembers(int value) {
            seen = value;
        }

        private WithMembers(String text) {
        }

        public synchronized int size() {
            return names == null ? 0 : names.length;
        }

        protected abstract void reset(long[] values, Object other);

        private void secret() {
        }

        static <T> T same(T value) {
            return value;
        }

        public int compareTo(WithMembers other) {
            return 0;
        }
    }

    static class WithNative implements Serializable {
        static native int nativeValue(int x);

        native String nativeText();

        int plain() {
            return 1;
        }
    }
}

class Marker implements Serializable {
    static void after() {
    }
}
