"""Where the Wine tests run the 32-bit zdrv.exe (scripts/lib/wine.sh, wine32_way), for each
kernel, state of Wine's 32-bit loader and value of ZDRV_WINE32; and that the container way
registers the same tests as the emulated PC."""

import json
import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

CHECKOUT = Path(__file__).resolve().parents[2]

LOADERS = {
    "runs": "#!/bin/sh\necho wine-8.0\n",
    "fails": "#!/bin/sh\necho 'wine: could not load kernel32.dll' >&2\nexit 1\n",
    "absent": None,
}
CONTAINER = "Die 32-Bit-Tests unter Wine laufen im Testabbild, als Container: "
EMULATED = "Die 32-Bit-Tests unter Wine laufen im Testabbild, in einem emulierten PC: "
NO_32BIT = "dieser Kernel führt keinen 32-Bit-Code aus"


def choose(folder: Path, kernel_runs_32bit: bool, loader: str, setting: str):
    path = folder / f"wine-{loader}"
    if LOADERS[loader]:
        path.write_text(LOADERS[loader])
        path.chmod(0o755)
    script = (f'. "{CHECKOUT}/scripts/lib/wine.sh"; wine32_loader="{path}"; '
              f'kernel_lacks_32bit() {{ {"false" if kernel_runs_32bit else "true"}; }}; '
              f'wine32_way "{folder}"')
    result = subprocess.run(["bash", "-c", script], env=dict(os.environ, ZDRV_WINE32=setting),
                            capture_output=True, text=True, check=False, timeout=30)
    return result.returncode, result.stdout.strip(), result.stderr.strip()


class Way(unittest.TestCase):
    def test_every_kernel_loader_and_setting(self):
        loader_fails = ("Wines 32-Bit-Lader läuft nicht ({path} --version failed (exit 1): "
                        "wine: could not load kernel32.dll)")
        loader_absent = "Wines 32-Bit-Lader {path} fehlt"
        # (kernel runs 32-bit code, loader): what auto takes, and the line that says why.
        auto = {
            (True, "runs"): ("native", ""),
            (True, "fails"): ("image", CONTAINER + loader_fails),
            (True, "absent"): ("image", CONTAINER + loader_absent),
            (False, "runs"): ("native", ""),
            (False, "fails"): ("emulated", EMULATED + NO_32BIT),
            (False, "absent"): ("emulated", EMULATED + NO_32BIT),
        }
        # A way asked for by name is taken whatever the machine.
        named = {
            "native": ("native", ""),
            "image": ("image", CONTAINER + "ZDRV_WINE32=image"),
            "emulated": ("emulated", EMULATED + "ZDRV_WINE32=emulated"),
        }
        with tempfile.TemporaryDirectory() as folder:
            for (kernel, loader), auto_way in auto.items():
                for setting, (way, line) in dict(named, auto=auto_way).items():
                    with self.subTest(kernel_runs_32bit=kernel, loader=loader, setting=setting):
                        line = line.format(path=Path(folder) / f"wine-{loader}")
                        self.assertEqual(choose(Path(folder), kernel, loader, setting),
                                         (0, way, line))
            status, way, line = choose(Path(folder), True, "runs", "qemu")
            self.assertEqual((status, way), (2, ""))
            self.assertIn("not 'qemu'", line)


def registered_tests(folder: Path, way: str) -> dict[str, list[str]]:
    tree = folder / way
    subprocess.run(["cmake", "-S", str(CHECKOUT), "-B", str(tree), f"-DZDRV_WINE32={way}"],
                   check=True, capture_output=True, timeout=120)
    shown = subprocess.run(["ctest", "--test-dir", str(tree), "--show-only=json-v1"],
                           check=True, capture_output=True, text=True, timeout=60).stdout
    return {test["name"]: test.get("command", []) for test in json.loads(shown)["tests"]}


class Registration(unittest.TestCase):
    def test_container_runs_the_emulated_pcs_tests(self):
        with tempfile.TemporaryDirectory() as folder:
            image = registered_tests(Path(folder), "image")
            emulated = registered_tests(Path(folder), "emulated")
        self.assertEqual(image.keys(), emulated.keys())
        in_image = sorted(name for name, command in image.items()
                          if any(part.endswith("tests/guest/guest.py") for part in command)
                          and "run" in command)
        expected = sorted(name for name in image if name.startswith(("wine.win32.",
                                                                     "wine.wow64.")))
        self.assertTrue(any(name.endswith(".installer") for name in expected))
        self.assertEqual(in_image, expected)
        self.assertEqual(image["guest.boot"][-2:], ["start", "--container"])
        self.assertEqual(emulated["guest.boot"][-1], "start")


if __name__ == "__main__":
    sys.exit(unittest.main())
