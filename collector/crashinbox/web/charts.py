"""Reports per day as an SVG bar chart, drawn here so that a page needs no script to show
it. Only numbers and dates go into the markup."""

import time

from markupsafe import Markup

SECONDS_PER_DAY = 86400


def day_text(day: int) -> str:
    return time.strftime("%Y-%m-%d", time.gmtime(day * SECONDS_PER_DAY))


def daily_chart(counts: dict, today: int, days: int = 30, small: bool = False) -> Markup:
    """Bars for the days today-days+1 .. today; counts maps day numbers to reports."""
    width, height = (120, 24) if small else (600, 140)
    top, bottom, left = (1, 1, 0) if small else (12, 18, 34)
    plot_width, plot_height = width - left, height - top - bottom
    step = plot_width / days
    peak = max([counts.get(today - n, 0) for n in range(days)] + [1])
    parts = ['<svg xmlns="http://www.w3.org/2000/svg" class="%s" width="%d" height="%d" '
             'viewBox="0 0 %d %d" role="img" aria-label="reports per day, last %d days">'
             % ("spark" if small else "chart", width, height, width, height, days)]
    parts.append('<line x1="%d" y1="%.1f" x2="%d" y2="%.1f" stroke="#bbb"/>'
                 % (left, top + plot_height, width, top + plot_height))
    for n in range(days):
        day = today - days + 1 + n
        count = counts.get(day, 0)
        if small and not count:
            continue  # hundreds of these on a page: the baseline stands for empty days
        bar = plot_height * count / peak
        parts.append('<rect x="%.1f" y="%.1f" width="%.1f" height="%.1f" fill="%s">'
                     '<title>%s: %d</title></rect>'
                     % (left + n * step + 0.5, top + plot_height - bar, max(step - 1, 1), bar,
                        "#c0392b" if count else "#eee", day_text(day), count))
    if not small:
        parts.append('<text x="%d" y="%d" font-size="11" text-anchor="end">%d</text>'
                     % (left - 4, top + 8, peak))
        parts.append('<text x="%d" y="%d" font-size="11" text-anchor="end">0</text>'
                     % (left - 4, top + plot_height))
        parts.append('<text x="%d" y="%d" font-size="11">%s</text>'
                     % (left, height - 4, day_text(today - days + 1)))
        parts.append('<text x="%d" y="%d" font-size="11" text-anchor="end">%s</text>'
                     % (width, height - 4, day_text(today)))
    parts.append("</svg>")
    return Markup("".join(parts))
