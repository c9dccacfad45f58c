import unittest


class PackageTest(unittest.TestCase):
    def test_package_imports(self):
        import kavri

        self.assertTrue(kavri.__doc__)


if __name__ == "__main__":
    unittest.main()
