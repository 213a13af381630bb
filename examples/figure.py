"""Runs the examples and draws their results into one figure.

Every example module listed in EXAMPLES has a main() that prints its tables
and returns its panels: (title, draw) pairs, where draw(ax) plots on one
matplotlib Axes. The panels are laid out two to a row, in order; an odd
last panel takes the whole row.

Run:  make demo   (or: python examples/figure.py [PATH.png]). Without
matplotlib the examples still run and print their tables; only the figure
is left out.
"""
import importlib
import importlib.util
import math
import pathlib
import sys

EXAMPLES = ["closed_loop", "bank_step_response", "tuning_fleet", "relay_fleet"]


def save(panels, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = math.ceil(len(panels) / 2)
    fig = plt.figure(figsize=(12, 4 * rows))
    grid = fig.add_gridspec(rows, 2)
    for i, (title, draw) in enumerate(panels):
        row, column = divmod(i, 2)
        last_alone = i == len(panels) - 1 and column == 0
        ax = fig.add_subplot(grid[row, :] if last_alone else grid[row, column])
        draw(ax)
        ax.set_title(title, fontsize=10)
        ax.grid(True, alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main():
    path = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "closed_loop.png")
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
    panels = []
    for name in EXAMPLES:
        panels += importlib.import_module(name).main()
    if importlib.util.find_spec("matplotlib") is None:
        print(f"No figure: drawing {path} needs matplotlib (pip install matplotlib).")
        return
    path.parent.mkdir(parents=True, exist_ok=True)
    save(panels, path)
    print(f"Figure written to {path}")


if __name__ == "__main__":
    main()
