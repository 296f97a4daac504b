"""Reads an INF file as Windows' setup API does, to the extent our checks need: sections by
case-insensitive name (a section that appears twice is one), ';' comments outside quotes,
'\\' line continuation, "key = value, value" and bare value lines, quoted values with ""
for a quote, and %token% replaced from [Strings] (%% for a percent sign)."""
import re


class Line:
    def __init__(self, number, key, values):
        self.number, self.key, self.values = number, key, values


def _strip_comment(text):
    quoted = False
    for i, ch in enumerate(text):
        if ch == '"':
            quoted = not quoted
        elif ch == ";" and not quoted:
            return text[:i]
    return text


def _split_values(text):
    """Splits on commas outside quotes; unquotes; keeps empty fields."""
    values, field, quoted, i = [], "", False, 0
    while i < len(text):
        ch = text[i]
        if ch == '"':
            if quoted and text[i + 1:i + 2] == '"':
                field += '"'
                i += 1
            else:
                quoted = not quoted
        elif ch == "," and not quoted:
            values.append(field.strip())
            field = ""
        else:
            field += ch
        i += 1
    values.append(field.strip())
    return values


def _split_key(text):
    quoted = False
    for i, ch in enumerate(text):
        if ch == '"':
            quoted = not quoted
        elif ch == "=" and not quoted:
            return text[:i].strip().strip('"'), text[i + 1:]
    return None, text


class Inf:
    def __init__(self, text):
        self.sections = {}  # lower-case name -> [Line]
        self.section_names = {}  # lower-case name -> name as written
        self.undefined_tokens = []
        current = None
        pending, start = "", 0
        for number, raw in enumerate(text.splitlines(), 1):
            line = _strip_comment(raw).rstrip()
            if not pending:
                start = number
            if line.endswith("\\"):
                pending += line[:-1]
                continue
            line, pending = (pending + line).strip(), ""
            if not line:
                continue
            header = re.fullmatch(r"\[([^\]]+)\]", line)
            if header:
                current = header.group(1).strip()
                self.sections.setdefault(current.lower(), [])
                self.section_names.setdefault(current.lower(), current)
                continue
            if current is None:
                continue
            key, rest = _split_key(line)
            self.sections[current.lower()].append(Line(start, key, _split_values(rest)))
        self.strings = {}
        for line in self.sections.get("strings", []):
            if line.key:
                self.strings[line.key.lower()] = line.values[0] if line.values else ""
        for lines in self.sections.values():
            for line in lines:
                line.key = self._substitute(line.key, line.number) if line.key else line.key
                line.values = [self._substitute(v, line.number) for v in line.values]

    @classmethod
    def load(cls, path):
        with open(path, encoding="utf-8-sig") as f:
            return cls(f.read())

    def _substitute(self, text, number):
        def token(match):
            name = match.group(1)
            if name == "":
                return "%"
            if name.lower() in self.strings:
                return self.strings[name.lower()]
            if re.fullmatch(r"\d+", name):  # a directory id, e.g. %12%
                return match.group(0)
            self.undefined_tokens.append((number, name))
            return match.group(0)

        return re.sub(r"%([^%]*)%", token, text)

    def has(self, section):
        return section.lower() in self.sections

    def lines(self, section):
        return self.sections.get(section.lower(), [])

    def value(self, section, key):
        """The values of the first line with this key, or None."""
        for line in self.lines(section):
            if line.key and line.key.lower() == key.lower():
                return line.values
        return None

    def models(self):
        """(models section name, install section, hardware ids) for each model line of each
        manufacturer, for the NTamd64 decoration."""
        out = []
        for line in self.lines("Manufacturer"):
            base = line.values[0]
            decorations = [d.lower() for d in line.values[1:]]
            if "ntamd64" not in decorations:
                continue
            section = base + ".NTamd64"
            for model in self.lines(section):
                out.append((section, model.values[0], model.values[1:]))
        return out

    def hardware_ids(self):
        return [hwid for _, _, ids in self.models() for hwid in ids if hwid]

    def install_section(self, name):
        """The install section Windows picks for an x64 system: .NTamd64, then .NT, then bare."""
        for suffix in (".NTamd64", ".NT", ""):
            if self.has(name + suffix):
                return name + suffix
        return None

    def source_files(self):
        return [line.key for line in self.lines("SourceDisksFiles") if line.key]
