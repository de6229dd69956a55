// The static methods that rewritten classes call.
public final class VerifyHook {
    public static long calls;

    private VerifyHook() {}

    public static void enter(short method, short site) { calls++; }

    public static void exit(short method, short site) { calls++; }
}
