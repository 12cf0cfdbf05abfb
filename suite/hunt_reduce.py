"""Shrinks an input that two runtimes disagree on, while they still disagree: fewer items, then
simpler numbers."""

import re

TOKEN = re.compile(r"-?\d+(?:\.\d*)?(?:@-?\d+)?|\s+|.", re.S)
NUMBER = re.compile(r"-?(?:\d+\.?\d*|\.\d+)(?:[eE@][-+]?\d+)?\Z")


def ddmin(items, still):
    """A smallest sub-list of items (in order) for which still(sub-list) holds, found by halving
    and then by leaving out ever smaller chunks; still(items) must hold."""
    items = list(items)
    chunks = 2
    while len(items) >= 2:
        size = -(-len(items) // chunks)
        parts = [items[i:i + size] for i in range(0, len(items), size)]
        for i, part in enumerate(parts):
            if still(part):
                items, chunks = part, 2
                break
            rest = [x for j, p in enumerate(parts) if j != i for x in p]
            if chunks > 2 and still(rest):
                items, chunks = rest, max(chunks - 1, 2)
                break
        else:
            if chunks >= len(items):
                break
            chunks = min(2 * chunks, len(items))
    return items


def simpler_numbers(text):
    """Texts for the number, simplest first: 0, 1, fewer digits, fewer significant digits."""
    found = ["0", "1", "-1"]
    if text.startswith("bits:"):
        return found
    negative = text.startswith("-")
    body = text.lstrip("-")
    if re.fullmatch(r"\d+", body):
        n = int(body)
        found += [str(n)] + [str(n // 10**k) for k in range(len(body) - 1, 0, -1)]
        found += [str(2**k) for k in range(31) if 2**k < n]
    else:
        try:
            x = float(body.replace("@", "e"))
        except ValueError:
            return found
        found += [f"{x:.{p}g}" for p in range(1, 17)] + [repr(x)]
        found += [f"{round(x, p)}" for p in range(0, 10)]
    signed = [("-" + t if negative and not t.startswith("-") else t) for t in found]
    return list(dict.fromkeys(t for t in signed + found if (len(t), t) < (len(text), text)))


def simplify_numbers(words, still, numeric=lambda w: NUMBER.match(w) or w.startswith("bits:")):
    """Each number among the words replaced by the simplest text that keeps still(words) true."""
    words = list(words)
    changed = True
    while changed:
        changed = False
        for i, word in enumerate(words):
            if not numeric(word):
                continue
            for simpler in simpler_numbers(word):
                trial = words[:i] + [simpler] + words[i + 1:]
                if simpler != word and still(trial):
                    words, changed = trial, True
                    break
    return words


def reduce_text(text, still):
    """The text made small: whole lines, then tokens, then characters left out, then numbers
    made simpler, as long as still(text) holds."""
    lines = ddmin(text.splitlines(keepends=True), lambda ls: still("".join(ls)))
    text = "".join(lines)
    tokens = ddmin(TOKEN.findall(text), lambda ts: still("".join(ts)))
    chars = ddmin(list("".join(tokens)), lambda cs: still("".join(cs)))
    tokens = TOKEN.findall("".join(chars))
    return "".join(simplify_numbers(tokens, lambda ts: still("".join(ts))))


def reduce_line_words(line, still):
    """A caller's line "WORD..." with its numbers made simpler; the words stay, since each
    routine takes a fixed number of them."""
    words = simplify_numbers(line.split(), lambda ws: still(" ".join(ws) + "\n"))
    return " ".join(words) + "\n"
