"""Just enough DER (ITU-T X.690) to write and read the catalog: definite lengths, the
universal types a catalog uses, context tags, and SET OF sorted as DER demands."""
import datetime

SEQUENCE, SET, INTEGER, BIT_STRING, OCTET_STRING, NULL, OID, UTC_TIME, BMP_STRING, BOOLEAN = (
    0x30, 0x31, 0x02, 0x03, 0x04, 0x05, 0x06, 0x17, 0x1E, 0x01)


def tlv(tag, content):
    n = len(content)
    if n < 0x80:
        length = bytes([n])
    else:
        body = n.to_bytes((n.bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(body)]) + body
    return bytes([tag]) + length + content


def seq(*items):
    return tlv(SEQUENCE, b"".join(items))


def set_of(*items):
    # DER orders the members of a SET OF by their encodings.
    return tlv(SET, b"".join(sorted(items)))


def integer(value):
    length = max(1, (value.bit_length() + 8) // 8)  # room for the sign bit
    return tlv(INTEGER, value.to_bytes(length, "big", signed=True))


def oid(dotted):
    parts = [int(p) for p in dotted.split(".")]
    arcs = [40 * parts[0] + parts[1]] + parts[2:]
    body = bytearray()
    for arc in arcs:
        chunk = [arc & 0x7F]
        arc >>= 7
        while arc:
            chunk.append(0x80 | (arc & 0x7F))
            arc >>= 7
        body += bytes(reversed(chunk))
    return tlv(OID, bytes(body))


def octets(data):
    return tlv(OCTET_STRING, data)


def null():
    return tlv(NULL, b"")


def bmp(text):
    return tlv(BMP_STRING, text.encode("utf-16-be"))


def utc_time(when):
    return tlv(UTC_TIME, when.astimezone(datetime.timezone.utc).strftime("%y%m%d%H%M%SZ").encode())


def explicit(number, content):
    return tlv(0xA0 | number, content)


def implicit_primitive(number, content):
    return tlv(0x80 | number, content)


class Node:
    """One decoded element: its tag, its content bytes and, when constructed, its children."""

    def __init__(self, tag, content, children):
        self.tag, self.content, self.children = tag, content, children

    def oid(self):
        if self.tag != OID:
            raise ValueError("expected an OBJECT IDENTIFIER, found tag 0x%02x" % self.tag)
        values, arc = [], 0
        for byte in self.content:
            arc = (arc << 7) | (byte & 0x7F)
            if not byte & 0x80:
                values.append(arc)
                arc = 0
        first = min(values[0] // 40, 2)
        return ".".join(str(v) for v in [first, values[0] - 40 * first] + values[1:])

    def integer(self):
        if self.tag != INTEGER:
            raise ValueError("expected an INTEGER, found tag 0x%02x" % self.tag)
        return int.from_bytes(self.content, "big", signed=True)


def parse(data, offset=0, end=None):
    """Decodes the elements in data[offset:end]; refuses what is not DER-shaped."""
    end = len(data) if end is None else end
    nodes = []
    while offset < end:
        if end - offset < 2:
            raise ValueError("truncated element at %d" % offset)
        tag, first = data[offset], data[offset + 1]
        if tag & 0x1F == 0x1F:
            raise ValueError("multi-byte tags are not used here (at %d)" % offset)
        offset += 2
        if first < 0x80:
            length = first
        elif first == 0x80:
            raise ValueError("indefinite length is not DER (at %d)" % offset)
        else:
            count = first & 0x7F
            length = int.from_bytes(data[offset:offset + count], "big")
            offset += count
        if offset + length > end:
            raise ValueError("element at %d runs past its container" % offset)
        content = data[offset:offset + length]
        children = parse(data, offset, offset + length) if tag & 0x20 else None
        nodes.append(Node(tag, bytes(content), children))
        offset += length
    return nodes


def parse_padded(data):
    """The one element at the start of data, which may be followed by fewer than 8 zero
    bytes of alignment padding (as in a PE certificate table entry)."""
    if len(data) < 2 or data[1] == 0x80:
        raise ValueError("no element")
    if data[1] < 0x80:
        end = 2 + data[1]
    else:
        count = data[1] & 0x7F
        end = 2 + count + int.from_bytes(data[2:2 + count], "big")
    padding = data[end:]
    if end > len(data) or len(padding) >= 8 or any(padding):
        raise ValueError("the element's length %d does not fit %d bytes" % (end, len(data)))
    (node,) = parse(data[:end])
    return node
