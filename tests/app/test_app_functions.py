"""The main script's own functions: cipher classification and upload names."""

import importlib.util
import unittest
import warnings

from app_helpers import SCRIPT


def _load_script():
    # Loaded under another name than "__main__", so main() must not run.
    spec = importlib.util.spec_from_file_location("skiffrelay_under_test",
                                                  SCRIPT)
    module = importlib.util.module_from_spec(spec)
    with warnings.catch_warnings():
        # M2Crypto's bundled six installs an old-style meta path importer.
        warnings.simplefilter("ignore", ImportWarning)
        spec.loader.exec_module(module)
    return module


app = _load_script()


class CipherLabelTest(unittest.TestCase):
    def test_first_prefix_row_wins(self):
        cases = [
            # A longer TLSv1.2 name before its shorter SSLv3 prefix.
            ("ECDHE-RSA-AES256-SHA384", "TLSv1.2"),
            ("ECDHE-RSA-AES256-GCM-SHA384", "TLSv1.2"),
            ("AES256-SHA256", "TLSv1.2"),
            ("AES256-SHA", "SSLv3"),
            ("ECDHE-RSA-AES256-SHA", "SSLv3"),
            # DES-CBC-SHA is no prefix of DES-CBC3-SHA.
            ("DES-CBC3-SHA", "SSLv3"),
            ("DES-CBC-SHA", "SSLv3"),
            ("EXP-KRB5-RC4-MD5", "SSLv3"),
            # A name extending a row still matches that row.
            ("AES128-SHA256-EXTRA", "TLSv1.2"),
            ("RC4-MD5-X", "SSLv3"),
            # Other naming schemes, case and empty names: no row.
            ("TLS_AES_256_GCM_SHA384", "Unbekannt"),
            ("TLS_CHACHA20_POLY1305_SHA256", "Unbekannt"),
            ("ecdhe-rsa-aes256-sha", "Unbekannt"),
            ("AES256", "Unbekannt"),
            ("", "Unbekannt"),
        ]
        for name, label in cases:
            with self.subTest(name=name):
                self.assertEqual(app.cipherLabel(name), label)

    def test_table_shape(self):
        rows = app.CipherTab
        self.assertEqual(len(rows), 84)
        self.assertEqual([label for _, label in rows],
                         ["TLSv1.2"] * 28 + ["SSLv3"] * 56)
        self.assertEqual(len(set(name for name, _ in rows)), 84)
        for row, name in [(1, "ECDHE-RSA-AES256-GCM-SHA384"),
                          (3, "ECDHE-RSA-AES256-SHA384"),
                          (14, "AES256-SHA256"), (28, "AES128-SHA256"),
                          (29, "ECDHE-RSA-AES256-SHA"), (37, "AES256-SHA"),
                          (45, "DES-CBC3-SHA"), (71, "DES-CBC-SHA"),
                          (84, "EXP-KRB5-RC4-MD5")]:
            self.assertEqual(rows[row - 1][0], name, "row %d" % row)


class UploadNamesTest(unittest.TestCase):
    def test_final_and_temporary_names(self):
        cases = [("report.xml", "report.xml", "report.xmt"),
                 ("/out/a.xml", "a.xml", "a.xmt"),
                 ("dir/sub/data.txt", "data.txt", "data.txt"),
                 ("x.txt", "x.txt", "x.txt"),
                 ("noext", "noext", "noext"),
                 ("a", "a", "t"),
                 ("dir/", "", "t")]
        for path, final, temp in cases:
            with self.subTest(path=path):
                self.assertEqual(app.finalName(path), final)
                self.assertEqual(app.tempName(app.finalName(path)), temp)


if __name__ == "__main__":
    unittest.main()
