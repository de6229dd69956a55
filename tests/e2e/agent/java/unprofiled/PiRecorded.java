package unprofiled;

/**
 * The class PiRecorderProgram has the agent's Java transformer rewrite: the session's filters leave
 * this package without hooks, so the copy it defines is the transformer's alone.
 */
public class PiRecorded {
    public static int twice(int n) {
        return 2 * n;
    }
}
