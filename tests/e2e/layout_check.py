"""Judges a window's layout as menuprobe.dll measured it inside the program
(guidriver "layout"): every text fits its control, every control lies inside
its parent, and no two controls overlap."""

from dataclasses import dataclass

BS_TYPEMASK, BS_GROUPBOX = 0x0F, 0x07
# Room a column header leaves around its text.
HEADER_TEXT_MARGIN = 12


@dataclass
class Control:
    hwnd: str
    parent: str
    cls: str
    id: int
    style: int
    rect: tuple          # left, top, right, bottom (screen)
    client: tuple        # left, top, width, height (screen)
    text_size: tuple     # the text's extent in the control's font
    ideal: tuple         # a button's ideal size, a combo box's item area
    text: str

    @property
    def kind(self):
        return self.cls.lower()

    @property
    def is_container(self):
        """Windows that hold others by design: their overlap is no fault."""
        return (self.kind in ("systabcontrol32", "#32770") or
                (self.kind == "button" and self.style & BS_TYPEMASK == BS_GROUPBOX))

    def __str__(self):
        return "%s %d %r" % (self.cls, self.id, self.text)


@dataclass
class Column:
    list: str
    index: int
    width: int
    text_width: int
    text: str


@dataclass
class Layout:
    dpi: int
    controls_version: tuple
    controls_path: str
    controls: list
    columns: list

    @property
    def common_controls_6(self):
        """The program runs with the version 6 common controls: its comctl32
        comes from that side-by-side assembly (Wine's reports 5.81 all the
        same, Windows' 6.x)."""
        path = self.controls_path.lower()
        return "microsoft.windows.common-controls_6595b64144ccf1df_6.0." in path

    def find(self, cls, text=None):
        return [c for c in self.controls if c.kind == cls.lower() and (text is None or c.text == text)]


def _numbers(field):
    return tuple(int(n) for n in field.split())


def parse(lines):
    dpi, version, path, controls, columns = 0, (0, 0), "", [], []
    for line in lines:
        parts = line.split("\t")
        if parts[0] == "dpi":
            dpi = int(parts[1])
        elif parts[0] == "comctl32":
            version, path = _numbers(parts[1].replace(".", " ")), parts[2]
        elif parts[0] == "control":
            controls.append(Control(parts[1], parts[2], parts[3], int(parts[4]), int(parts[5], 16),
                                    _numbers(parts[6]), _numbers(parts[7]), _numbers(parts[8]),
                                    _numbers(parts[9]), parts[10] if len(parts) > 10 else ""))
        elif parts[0] == "column":
            columns.append(Column(parts[1], int(parts[2]), int(parts[3]), int(parts[4]), parts[5]))
    return Layout(dpi, version, path, controls, columns)


def clipped(layout):
    """Descriptions of every text that does not fit its control."""
    faults = []
    for c in layout.controls:
        if not c.text or c.text_size == (0, 0):
            continue
        width, height = c.rect[2] - c.rect[0], c.rect[3] - c.rect[1]
        if c.kind == "static":
            if c.text_size[0] > c.client[2] or c.text_size[1] > c.client[3]:
                faults.append("%s: text %dx%d in %dx%d" % (c, c.text_size[0], c.text_size[1],
                                                           c.client[2], c.client[3]))
        elif c.kind == "button":
            # The ideal size counts the box of a check box and a button's
            # margins; a group box's caption needs its text and a little room.
            need = c.ideal[0] if c.ideal != (0, 0) else c.text_size[0]
            if need > width:
                faults.append("%s: needs %d of %d pixels" % (c, need, width))
        elif c.kind == "combobox":
            if c.text_size[0] > c.ideal[0]:
                faults.append("%s: text %d in an item area of %d" % (c, c.text_size[0], c.ideal[0]))
        elif c.text_size[0] > c.client[2]:
            faults.append("%s: text %d in %d" % (c, c.text_size[0], c.client[2]))
    for column in layout.columns:
        if column.text_width + HEADER_TEXT_MARGIN > column.width:
            faults.append("column %r: text %d in %d" % (column.text, column.text_width, column.width))
    return faults


def _intersect(a, b):
    return min(a[2], b[2]) > max(a[0], b[0]) and min(a[3], b[3]) > max(a[1], b[1])


def overlapping(layout):
    """Pairs of sibling controls that overlap (containers excepted), and
    controls that reach outside their parent's client area."""
    faults = []
    by_hwnd = {c.hwnd: c for c in layout.controls}
    siblings = {}
    for c in layout.controls:
        siblings.setdefault(c.parent, []).append(c)
        parent = by_hwnd.get(c.parent)
        if parent is not None:
            left, top, w, h = parent.client
            r = c.rect
            if r[0] < left or r[1] < top or r[2] > left + w or r[3] > top + h:
                faults.append("%s reaches outside %s" % (c, parent))
    for group in siblings.values():
        plain = [c for c in group if not c.is_container]
        for i, a in enumerate(plain):
            for b in plain[i + 1:]:
                if _intersect(a.rect, b.rect):
                    faults.append("%s overlaps %s" % (a, b))
    return faults
