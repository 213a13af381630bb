"""Runs the examples and draws their results into one figure.

Every example module listed in EXAMPLES has a main() that prints its tables
and returns its panels: (title, draw) pairs, where draw(ax) plots on one
matplotlib Axes. The panels are laid out two to a row, in order.

Run:  make demo   (or: python examples/figure.py [PATH.png]); needs matplotlib.
"""
import importlib
import math
import pathlib
import sys

EXAMPLES = ["closed_loop", "bank_step_response", "tuning_fleet"]


def save(panels, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = math.ceil(len(panels) / 2)
    fig, axes = plt.subplots(rows, 2, figsize=(12, 4 * rows), squeeze=False)
    for ax, (title, draw) in zip(axes.flat, panels):
        draw(ax)
        ax.set_title(title, fontsize=10)
        ax.grid(True, alpha=0.3)
    for ax in axes.flat[len(panels):]:
        ax.set_visible(False)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main():
    path = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "closed_loop.png")
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
    panels = []
    for name in EXAMPLES:
        panels += importlib.import_module(name).main()
    path.parent.mkdir(parents=True, exist_ok=True)
    save(panels, path)
    print(f"Figure written to {path}")


if __name__ == "__main__":
    main()
