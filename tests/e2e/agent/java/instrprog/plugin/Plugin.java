package instrprog.plugin;

/** Loaded by the program's own class loader, which does not ask its parent for this package. */
public class Plugin {
    public static int compute(int i) {
        return new Helper(i).square() + 1;
    }

    static class Helper {
        private final int value;

        Helper(int value) {
            this.value = value;
        }

        int square() {
            return value * value;
        }
    }
}
