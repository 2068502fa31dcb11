#!/usr/bin/python3
"""The link checker against small pages with known faults."""
import sys
import tempfile
import textwrap
import unittest
from pathlib import Path

# Run from the source tree: no __pycache__ left beside the checker.
sys.dont_write_bytecode = True
import check_links  # noqa: E402


class Slug(unittest.TestCase):
    def test_github_rules(self):
        cases = [
            ("Installing", "installing"),
            ("The program's folder", "the-programs-folder"),
            ("32 and 64 ports from one process", "32-and-64-ports-from-one-process"),
            ("The command-line programmer", "the-command-line-programmer"),
            ("What `qr740-flash --json` prints", "what-qr740-flash---json-prints"),
            ("snake_case stays, dots. go!", "snake_case-stays-dots-go"),
            ("  Ünits, à la carte  ", "ünits-à-la-carte"),
        ]
        for text, expected in cases:
            with self.subTest(text=text):
                self.assertEqual(check_links.slug(text), expected)


class BrokenLinks(unittest.TestCase):
    def setUp(self):
        self._dir = tempfile.TemporaryDirectory()
        self.root = Path(self._dir.name)
        (self.root / "docs").mkdir()
        self.write("docs/page.md", """\
            # Page

            ## Tests
            ## Tests
            ### The `--json` events

            ```sh
            # Not a heading
            ```
            """)
        self.write("docs/picture.png", "")

    def tearDown(self):
        self._dir.cleanup()

    def write(self, name, text):
        (self.root / name).write_text(textwrap.dedent(text), encoding="utf-8")

    def problems(self, readme):
        self.write("README.md", readme)
        return check_links.broken_links(self.root / "README.md", check_links.Pages())

    def test_links_that_lead_somewhere(self):
        readme = """\
            # Top

            [page](docs/page.md), [its first Tests](docs/page.md#tests), [its second](docs/page.md#tests-1),
            [code in a heading](docs/page.md#the---json-events), [here](#top), ![a picture](docs/picture.png),
            [a folder](docs/), [away](https://example.org/none.md#nowhere), [mail](mailto:a@b.c)

            | a table | [cell](docs/page.md#page) |
            |---|---|
            """
        self.assertEqual(self.problems(readme), [])

    def test_broken_links_are_named_with_their_line(self):
        cases = [
            ("[gone](docs/gone.md)", "docs/gone.md: no such file"),
            ("![gone](docs/gone.png)", "docs/gone.png: no such file"),
            ("[no such heading](docs/page.md#installing)", "no heading page.md makes #installing"),
            ("[a third Tests](docs/page.md#tests-2)", "no heading page.md makes #tests-2"),
            ("[inside a fence](docs/page.md#not-a-heading)", "makes #not-a-heading"),
            ("[on this page](#nowhere)", "no heading README.md makes #nowhere"),
            ("| cell | [gone](docs/gone.md) |\n|---|---|", "no such file"),
        ]
        for link, why in cases:
            with self.subTest(link=link):
                problems = self.problems("# Top\n\nText.\n\n" + link + "\n")
                self.assertEqual(len(problems), 1, problems)
                self.assertIn("README.md:5: ", problems[0])
                self.assertIn(why, problems[0])

    def test_code_is_no_link(self):
        readme = """\
            # Top

            `[inline](docs/gone.md)`

            ```
            [fenced](docs/gone.md)
            ```

                [indented](docs/gone.md)
            """
        self.assertEqual(self.problems(readme), [])

    def test_a_tree_with_one_broken_page_fails(self):
        self.write("README.md", "# Top\n\n[page](docs/page.md)\n")
        self.write("docs/other.md", "# Other\n\n[back](../README.md#bottom)\n")
        self.assertEqual(check_links.main(["check_links.py", str(self.root)]), 1)
        self.write("docs/other.md", "# Other\n\n[back](../README.md#top)\n")
        self.assertEqual(check_links.main(["check_links.py", str(self.root)]), 0)


if __name__ == "__main__":
    unittest.main()
