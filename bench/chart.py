"""The benchmark's results as a chart: for every pair, each tool's patch
bytes and apply time divided by olkpack's (olkpack = 1; above the line,
olkpack is smaller or faster). Logarithmic, since whole-file compression
is hundreds of times larger. Needs matplotlib (python3-matplotlib)."""
import matplotlib

matplotlib.use("Agg")  # no display needed
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import FuncFormatter  # noqa: E402

from report import usable  # noqa: E402

COLORS = {"olkpack": "#d62728", "hdiffpatch": "#1f77b4", "bsdiff": "#2ca02c", "xdelta3": "#9467bd",
          "zstd": "#ff7f0e", "xz": "#8c564b", "olkpack format 2": "#f7b6b6"}


def draw(rows, path):
    rows = [(pair, res) for pair, res in rows if usable(res["olkpack"])]
    tools = []
    for _, res in rows:
        tools += [t for t in res if t not in tools]
    panels = [("patch bytes", lambda t, r: r["bytes"]),
              ("apply time (olkpack durable)", lambda t, r: r["apply_durable"] if t == "olkpack" else r["apply"])]
    fig, axes = plt.subplots(len(panels), 1, figsize=(max(8, 1.6 * len(rows) + 3), 9), sharex=True)
    width = 0.8 / max(1, len(tools))
    for ax, (title, value) in zip(axes, panels):
        for i, tool in enumerate(tools):
            xs, ys = [], []
            for x, (pair, res) in enumerate(rows):
                r = res.get(tool)
                pos = x - 0.4 + width * (i + 0.5)
                if r is None:
                    continue
                if not usable(r):
                    ax.text(pos, 1.0, "FAILED", rotation=90, ha="center", va="bottom", fontsize=7)
                    continue
                xs.append(pos)
                ys.append(value(tool, r) / value("olkpack", res["olkpack"]))
            # bars grow from 1 (olkpack), up where a tool is larger or slower
            ax.bar(xs, [y - 1 for y in ys], width, bottom=1, label=tool, color=COLORS.get(tool))
            for x, y in zip(xs, ys):
                if tool != "olkpack":
                    ax.text(x, y, "%.2g" % y, ha="center", va="bottom" if y >= 1 else "top", fontsize=6)
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.set_yscale("log")
        ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: "%g" % v))
        ax.yaxis.set_minor_formatter(FuncFormatter(lambda v, _: "%g" % v if str(v)[0] in "25" else ""))
        ax.tick_params(axis="y", which="minor", labelsize=7)
        ax.set_ylabel("tool ÷ olkpack")
        ax.set_title(title + ", each tool ÷ olkpack (above 1: olkpack smaller / faster)", fontsize=10)
        ax.grid(axis="y", which="both", alpha=0.3)
    axes[0].legend(ncol=len(tools), fontsize=8, loc="upper left")
    axes[-1].set_xticks(range(len(rows)))
    axes[-1].set_xticklabels([pair.name for pair, _ in rows], rotation=20, ha="right", fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
