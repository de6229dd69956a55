package instrprog;

/**
 * Calls of interface methods with bodies, in known numbers: Square takes the default scaled() of
 * Shape 300 times; Circle overrides it 200 times and calls the default from its override
 * (Shape.super.scaled), so the default runs 500 times; the static Shape.unit() runs once. Prints
 * "done" with the sum and waits for the end of standard input.
 */
public class DefaultMethods {
    interface Shape {
        double area();

        default double scaled(double k) {
            return area() * k;
        }

        static Shape unit() {
            return new Square(1);
        }
    }

    static class Square implements Shape {
        final double side;

        Square(double side) {
            this.side = side;
        }

        public double area() {
            return side * side;
        }
    }

    static class Circle implements Shape {
        final double radius;

        Circle(double radius) {
            this.radius = radius;
        }

        public double area() {
            return 3 * radius * radius;
        }

        public double scaled(double k) {
            return Shape.super.scaled(k) + 1;
        }
    }

    public static void main(String[] args) throws Exception {
        Shape square = Shape.unit();
        Shape circle = new Circle(2);
        double sum = 0;
        for (int i = 0; i < 300; i++) {
            sum += square.scaled(i);
        }
        for (int i = 0; i < 200; i++) {
            sum += circle.scaled(i);
        }
        System.out.println("done " + (long) sum);
        System.out.flush();
        while (System.in.read() >= 0) {
        }
    }
}
