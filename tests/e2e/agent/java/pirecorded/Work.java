package pirecorded;

/** The code PiRecorderProgram records: the session's filters select it, so its class load gives it hooks. */
public class Work {
    public static int spin(int n) {
        int s = 0;
        for (int i = 0; i < n; i++) {
            s += i % 7;
        }
        return s;
    }

    public static int repeat(int times) {
        int s = 0;
        for (int i = 0; i < times; i++) {
            s += spin(i);
        }
        return s;
    }
}
