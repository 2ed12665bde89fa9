#!/usr/bin/env python3
"""Runs the bundled digit classifier through the corvus tool.

    demo.py CORVUS [EXAMPLE_DIR]

Prints a few held-out digits as text art with their predictions, the
accuracy on the held-out set next to the training framework's (exit status 1
when they differ), and the latency measured by `corvus bench`.
"""
import json
import os
import subprocess
import sys
import tempfile

import numpy as np

SHADES = " .:-=+*#%@"


def art(image):
    """8x8 values in [0,1] as text, two characters per pixel."""
    rows = []
    for row in image.reshape(8, 8):
        rows.append("".join(SHADES[min(int(v * (len(SHADES) - 1) + 0.5), len(SHADES) - 1)] * 2 for v in row))
    return rows


def corvus(tool, *args):
    result = subprocess.run([tool, *args], capture_output=True, text=True)
    if result.returncode != 0:
        sys.stderr.write(result.stdout + result.stderr)
        sys.exit(f"demo: corvus {args[0]} failed with status {result.returncode}")
    return result.stdout


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: demo.py CORVUS [EXAMPLE_DIR]")
    tool = sys.argv[1]
    here = sys.argv[2] if len(sys.argv) == 3 else os.path.dirname(os.path.abspath(__file__))
    model, weights = os.path.join(here, "model.json"), os.path.join(here, "weights.bin")
    images = np.load(os.path.join(here, "heldout_x.npy"))
    labels = np.load(os.path.join(here, "heldout_y.npy"))
    with open(os.path.join(here, "framework.json")) as f:
        framework = json.load(f)

    with tempfile.TemporaryDirectory() as out:
        corvus(tool, "run", model, weights, "--input", os.path.join(here, "heldout_x.npy"), "--output", out)
        logits = np.load(os.path.join(out, "logits.npy"))
    predicted = logits.reshape(len(labels), -1).argmax(axis=1)

    shown = 6
    print(f"Corvus on {len(labels)} held-out 8x8 digits; the first {shown}:\n")
    blocks = [art(images[i]) for i in range(shown)]
    for line in range(8):
        print("   ".join(block[line] for block in blocks))
    print("   ".join(f"{'got ' + str(predicted[i]) + ' (' + str(labels[i]) + ')':<16}" for i in range(shown)))
    print("(predicted, with the true label in parentheses)\n")

    correct = int((predicted == labels).sum())
    agree = int((predicted == np.array(framework["predictions"])).sum())
    print(f"accuracy, Corvus:        {correct}/{len(labels)} = {100.0 * correct / len(labels):.2f} %")
    print(f"accuracy, {framework['framework']}: {framework['correct']}/{framework['samples']}"
          f" = {100.0 * framework['accuracy']:.2f} %")
    print(f"predictions agreeing with the framework: {agree}/{len(labels)}")

    bench = corvus(tool, "bench", model, weights, "-n", "500")
    print("\nlatency of one image (corvus bench -n 500):")
    print("  " + [l for l in bench.splitlines() if l.startswith("latency")][0])
    if correct != framework["correct"]:
        sys.exit("demo: the accuracy differs from the framework's")


if __name__ == "__main__":
    main()
