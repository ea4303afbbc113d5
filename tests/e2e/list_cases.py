"""Prints the test classes of each end-to-end module given, one
"<module> <class>" line each, in the order of their first test, so that
CTest runs each class as a test of its own and the long modules' classes
run beside each other. A module that cannot be imported here is printed as
"<module> *": it then runs whole, as one test, and fails there for all to
see."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))


def classes(module_name):
    try:
        module = __import__(module_name)
    except Exception:  # noqa: BLE001 - any failure is the test's to report
        return ["*"]
    out = []

    def walk(suite):
        for test in suite:
            if isinstance(test, unittest.TestSuite):
                walk(test)
            elif type(test).__name__ not in out:
                out.append(type(test).__name__)
            # A class with tests imported from another module has no name of
            # this module to be run by: the module then runs whole.
            if not isinstance(test, unittest.TestSuite) and type(test).__module__ != module_name:
                out.append("*")

    walk(unittest.defaultTestLoader.loadTestsFromModule(module))
    return ["*"] if not out or "*" in out else out


def main():
    for path in sys.argv[1:]:
        name = os.path.splitext(os.path.basename(path))[0]
        for cls in classes(name):
            print("%s %s" % (name, cls))


if __name__ == "__main__":
    main()
