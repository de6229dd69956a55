// A program that the instrumenter's tests rewrite and run: recursion,
// exceptions through several frames, constructors, switches, loops, arrays,
// sleeps, a native method without library, monitors and a second thread. It
// compiles for Java 7 so that an old class-file version can be made of it.
public class Workload {
    static int counter;

    static int fib(int n) {
        return n < 2 ? n : fib(n - 1) + fib(n - 2);
    }

    static void thrower(int depth) {
        if (depth == 0)
            throw new IllegalStateException("deep");
        thrower(depth - 1);
    }

    static String catcher() {
        try {
            thrower(3);
            return "none";
        } catch (IllegalStateException e) {
            return e.getMessage();
        }
    }

    static int parse(String s) {
        try {
            return Integer.parseInt(s);
        } catch (NumberFormatException e) {
            return -1;
        }
    }

    static final class Point {
        final int x, y;

        Point(int x, int y) {
            this.x = x;
            this.y = y;
        }

        Point(int v) {
            this(v, v);
        }

        int sum() {
            return x + y;
        }
    }

    static long loop(int n) {
        long s = 0;
        for (int i = 0; i < n; i++)
            s += i;
        return s;
    }

    static int sparse(int k) {
        switch (k) {
        case 1: return 10;
        case 2: return 20;
        case 1000: return 30;
        default: return -1;
        }
    }

    static int dense(int k) {
        switch (k) {
        case 0: return 1;
        case 1: return 2;
        case 2: return 3;
        case 3: return 4;
        default: return 0;
        }
    }

    static int arrays(int n) {
        int[] a = new int[n];
        String[] s = new String[2];
        int[][] g = new int[n][n];
        a[0] = g.length;
        s[0] = "x";
        return a.length + s.length + g[0].length + a[0];
    }

    static void nap() throws InterruptedException {
        Thread.sleep(1);
    }

    static native int nat();

    static String callNative() {
        try {
            return "native " + nat();
        } catch (UnsatisfiedLinkError e) {
            return "no native";
        }
    }

    static int finallyReturn(int k) {
        try {
            if (k > 0)
                return k;
            throw new RuntimeException("k");
        } catch (RuntimeException e) {
            return -k - 1;
        } finally {
            counter++;
        }
    }

    synchronized int twice(int v) {
        return v * 2;
    }

    static String waitBriefly() throws InterruptedException {
        Object lock = new Object();
        synchronized (lock) {
            lock.wait(1);
        }
        return "waited";
    }

    static int worker() throws InterruptedException {
        final int[] result = new int[1];
        Thread t = new Thread(new Runnable() {
            public void run() {
                result[0] = fib(10);
            }
        });
        t.start();
        t.join();
        return result[0];
    }

    public static void main(String[] args) throws Exception {
        System.out.println("fib " + fib(15));
        System.out.println("catcher " + catcher());
        System.out.println("parse " + parse("12") + " " + parse("x"));
        Point p = new Point(1, 2);
        Point q = new Point(5);
        System.out.println("points " + p.sum() + " " + q.sum());
        System.out.println("loop " + loop(1000));
        System.out.println("switch " + sparse(1) + " " + sparse(1000) + " " + sparse(7) + " " + dense(2) + " " + dense(9));
        System.out.println("arrays " + arrays(3));
        for (int i = 0; i < 3; i++)
            nap();
        System.out.println("napped");
        System.out.println(callNative());
        System.out.println("finally " + finallyReturn(2) + " " + finallyReturn(0) + " " + counter);
        System.out.println("twice " + new Workload().twice(21));
        System.out.println(waitBriefly());
        System.out.println("worker " + worker());
        try {
            thrower(2);
        } catch (IllegalStateException e) {
            System.out.println("main caught " + e.getMessage());
        }
    }
}
