import com.orvane.agent.InstrumentationCallee;
import java.io.ObjectStreamClass;
import java.io.Serializable;
import java.util.concurrent.Callable;

/**
 * Prints the default serialVersionUID of classes without a declared one: with "jdk" as the JDK's
 * serialization computes it, with "hook" as the agent's replacement of that computation does.
 */
public class SerialVersionCheck {
    public static void main(String[] args) throws Exception {
        boolean hook = args.length > 0 && args[0].equals("hook");
        // Loaded and not yet linked: its static initialiser must still count.
        Class<?> unlinked = Class.forName("SerialVersionCheck$Unlinked", false, SerialVersionCheck.class.getClassLoader());
        Class<?>[] types = {unlinked, Plain.class, WithInitializer.class, Members.class, Natives.class, Shape.class, Empty.class,
                Marker.class, Members[].class, Nested.Deep.class, Task.class};
        for (Class<?> type : types) {
            long uid = hook ? InstrumentationCallee.__orvane_computeDefaultSUID(type)
                    : ObjectStreamClass.lookupAny(type).getSerialVersionUID();
            System.out.println(type.getName() + " " + uid);
        }
    }

    static class Unlinked implements Serializable {
        static final long STARTED = System.currentTimeMillis();
        long seen;
    }

    static class Plain implements Serializable {
        int value;
    }

    static class WithInitializer implements Serializable {
        static final Object SHARED = new Object();
    }

    abstract static class Members implements Serializable, Comparable<Members>, Runnable {
        public static int shared;
        private static int hidden;
        private transient int skipped;
        private int kept;
        protected volatile long seen;
        transient String[] names;
        final double ratio = 1.5;

        Members() {
        }

        public Members(int value, long[][] grid) {
            seen = value;
        }

        private Members(String text) {
        }

        protected Members(Object other, char c, byte b, short s, boolean z, float f) {
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

        public final int compareTo(Members other) {
            return 0;
        }

        public strictfp double half(double d) {
            return d / 2;
        }

        int size(int extra) {
            return extra;
        }
    }

    static class Natives implements Serializable {
        static native int nativeValue(int x);

        native String nativeText(String[] in);

        int plain() {
            return 1;
        }
    }

    interface Shape extends Serializable {
        double area();
    }

    interface Marker extends Serializable {
    }

    public static final class Empty implements Serializable {
    }

    static class Nested {
        static class Deep extends Plain implements Cloneable {
            private static final long serialPersistentFieldsAbsent = 0;
            Deep() {
            }
        }
    }

    static class Task implements Callable<String>, Serializable {
        public String call() {
            return "t";
        }
    }
}
