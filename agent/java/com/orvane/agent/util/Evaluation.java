package com.orvane.agent.util;

import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.util.regex.Pattern;

/**
 * Evaluations that the native agent runs on live objects of a heap dump for the front end. A
 * script is a class the front end sends (addScriptClass); the first class of a request is the
 * script, and its public static method {@code evaluate(Object)} is called with each object: a
 * boolean for boolean expressions, any value for string scripts. A failed evaluation leaves its
 * exception text for getLastException. The field readers are natives that read the instance
 * field the current field-value request names.
 */
public final class Evaluation {
    /** How an object's text is matched (mode: 0 contains, 1 equals, 2 starts with, 3 ends with, 4 regular expression). */
    public static final class StringParameters {
        final String expression;
        final int mode;
        final boolean ignoreCase;
        final Pattern pattern;

        StringParameters(String expression, int mode, boolean ignoreCase) {
            this.expression = ignoreCase ? expression.toLowerCase() : expression;
            this.mode = mode;
            this.ignoreCase = ignoreCase;
            this.pattern = mode == 4 ? Pattern.compile(expression, ignoreCase ? Pattern.CASE_INSENSITIVE : 0) : null;
        }
    }

    /** A field value compared with a constant: the field's type code, the operator and the constant's text. */
    public static final class PrimitiveParameters {
        final int type;
        final String operator;
        final String value;

        PrimitiveParameters(int type, String operator, String value) {
            this.type = type;
            this.operator = operator;
            this.value = value;
        }
    }

    private static ScriptLoader loader;
    private static Method script;
    private static String lastException;

    private Evaluation() {
    }

    /** Class loader of the scripts of one request. */
    private static final class ScriptLoader extends ClassLoader {
        ScriptLoader() {
            super(ClassLoader.getSystemClassLoader());
        }

        Class<?> define(String name, byte[] bytes) {
            return defineClass(name, bytes, 0, bytes.length);
        }
    }

    /** The object's text; null when toString failed. */
    public static String getToString(Object object, Object unused) {
        try {
            return String.valueOf(object);
        } catch (Throwable t) {
            remember(t);
            return null;
        }
    }

    /** The script's verdict on the object; false when it failed. */
    public static boolean evalBooleanExpression(Object object, Object unused) {
        Object result = runScript(object);
        return result instanceof Boolean && ((Boolean) result).booleanValue();
    }

    /** The script's value for the object as text; null when it failed or gave null. */
    public static String runStringScript(Object object) {
        Object result = runScript(object);
        return result == null ? null : String.valueOf(result);
    }

    /** Adds a class of the script; the first class of a request starts a new script. */
    public static void addScriptClass(boolean first, String name, byte[] bytes) {
        try {
            if (first || loader == null) {
                loader = new ScriptLoader();
                script = null;
            }
            Class<?> type = loader.define(name, bytes);
            if (first) {
                script = type.getMethod("evaluate", Object.class);
            }
        } catch (Throwable t) {
            remember(t);
        }
    }

    /** Whether the object's text matches. */
    public static boolean evalToString(Object object, StringParameters parameters) {
        String text = getToString(object, null);
        if (text == null || parameters == null) {
            return false;
        }
        String subject = parameters.ignoreCase ? text.toLowerCase() : text;
        switch (parameters.mode) {
            case 1:
                return subject.equals(parameters.expression);
            case 2:
                return subject.startsWith(parameters.expression);
            case 3:
                return subject.endsWith(parameters.expression);
            case 4:
                return parameters.pattern.matcher(text).find();
            default:
                return subject.contains(parameters.expression);
        }
    }

    public static StringParameters getStringParameters(String expression, int mode, boolean ignoreCase) {
        try {
            return new StringParameters(expression, mode, ignoreCase);
        } catch (Throwable t) {
            remember(t);
            return null;
        }
    }

    /** Whether the named field of the object compares with the constant as asked. */
    public static boolean evalPrimitive(Object object, PrimitiveParameters parameters) {
        if (object == null || parameters == null) {
            return false;
        }
        boolean[] notFound = new boolean[1];
        Class<?> type = object.getClass();
        int order;
        try {
            switch (parameters.type) {
                case 4:
                    order = Boolean.compare(getBooleanField(object, type, notFound), Boolean.parseBoolean(parameters.value));
                    break;
                case 5:
                    order = Character.compare(getCharField(object, type, notFound), parameters.value.charAt(0));
                    break;
                case 6:
                    order = Float.compare(getFloatField(object, type, notFound), Float.parseFloat(parameters.value));
                    break;
                case 7:
                    order = Double.compare(getDoubleField(object, type, notFound), Double.parseDouble(parameters.value));
                    break;
                case 8:
                    order = Byte.compare(getByteField(object, type, notFound), Byte.parseByte(parameters.value));
                    break;
                case 9:
                    order = Short.compare(getShortField(object, type, notFound), Short.parseShort(parameters.value));
                    break;
                case 10:
                    order = Integer.compare(getIntField(object, type, notFound), Integer.parseInt(parameters.value));
                    break;
                case 11:
                    order = Long.compare(getLongField(object, type, notFound), Long.parseLong(parameters.value));
                    break;
                default:
                    return false;
            }
        } catch (RuntimeException e) {
            remember(e);
            return false;
        }
        if (notFound[0]) {
            return false;
        }
        String op = parameters.operator;
        return op.equals("==") ? order == 0
                : op.equals("!=") ? order != 0
                : op.equals("<") ? order < 0
                : op.equals("<=") ? order <= 0
                : op.equals(">") ? order > 0
                : op.equals(">=") && order >= 0;
    }

    public static PrimitiveParameters getPrimitiveParameters(int type, String operator, String value, int unused) {
        return new PrimitiveParameters(type, operator == null ? "==" : operator, value == null ? "" : value);
    }

    /** The text of the exception of the last failed evaluation, once; null when none failed. */
    public static synchronized String getLastException() {
        String text = lastException;
        lastException = null;
        return text;
    }

    private static Object runScript(Object object) {
        if (script == null) {
            remember(new IllegalStateException("no script class"));
            return null;
        }
        try {
            return script.invoke(null, object);
        } catch (InvocationTargetException e) {
            remember(e.getCause() != null ? e.getCause() : e);
        } catch (Throwable t) {
            remember(t);
        }
        return null;
    }

    private static synchronized void remember(Throwable t) {
        lastException = t.toString();
    }

    public static native boolean getBooleanField(Object object, Class<?> type, boolean[] notFound);

    public static native char getCharField(Object object, Class<?> type, boolean[] notFound);

    public static native float getFloatField(Object object, Class<?> type, boolean[] notFound);

    public static native double getDoubleField(Object object, Class<?> type, boolean[] notFound);

    public static native byte getByteField(Object object, Class<?> type, boolean[] notFound);

    public static native short getShortField(Object object, Class<?> type, boolean[] notFound);

    public static native int getIntField(Object object, Class<?> type, boolean[] notFound);

    public static native long getLongField(Object object, Class<?> type, boolean[] notFound);
}
