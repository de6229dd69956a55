/** A string script for the evaluation commands: names the object's class, an exception for markers. */
public class DescribeScript {
    public static Object evaluate(Object o) {
        if (o.getClass().getName().endsWith("Marker")) {
            throw new IllegalStateException("no text for markers");
        }
        return "script saw " + o.getClass().getSimpleName();
    }
}
