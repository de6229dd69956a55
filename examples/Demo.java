import java.io.IOException;
import java.util.ArrayList;
import java.util.List;

/**
 * A small program to profile with tiagent: a recursive Fibonacci, a prime
 * sieve by trial division and a few objects, so that the hot spots and the
 * call tree have something to show and every call count is known in advance.
 *
 * It prints its results and "done", then waits for Enter (or the end of its
 * input) before it ends, so that a front end can read the profile of a VM
 * that is still there. Started as "Demo pause" it also waits for Enter
 * before it begins, time enough to attach the agent.
 */
public class Demo {
    static final class Point {
        private final double x;
        private final double y;

        Point(double x, double y) {
            this.x = x;
            this.y = y;
        }

        double distanceTo(Point other) {
            double dx = x - other.x;
            double dy = y - other.y;
            return Math.sqrt(dx * dx + dy * dy);
        }
    }

    static int fib(int n) {
        return n < 2 ? n : fib(n - 1) + fib(n - 2);
    }

    static boolean isPrime(int n) {
        if (n < 2)
            return false;
        for (int d = 2; d * d <= n; d++) {
            if (n % d == 0)
                return false;
        }
        return true;
    }

    static int countPrimes(int below) {
        int count = 0;
        for (int n = 0; n < below; n++) {
            if (isPrime(n))
                count++;
        }
        return count;
    }

    static double pathLength(int points) {
        List<Point> path = new ArrayList<>();
        for (int i = 0; i < points; i++)
            path.add(new Point(i % 7, i % 11));
        double length = 0;
        for (int i = 1; i < path.size(); i++)
            length += path.get(i - 1).distanceTo(path.get(i));
        return length;
    }

    static void waitForEnter() throws IOException {
        int c;
        do {
            c = System.in.read();
        } while (c != -1 && c != '\n');
    }

    public static void main(String[] args) throws IOException {
        if (args.length > 0 && args[0].equals("pause")) {
            System.out.println("waiting for Enter to begin");
            waitForEnter();
        }
        System.out.println("fib(25) = " + fib(25));
        System.out.println("primes below 100000: " + countPrimes(100000));
        System.out.println("path of 10000 points: " + Math.round(pathLength(10000)));
        System.out.println("done");
        waitForEnter();
    }
}
