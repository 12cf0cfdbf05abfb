"""Whether two runtimes part ways on one run of the hunt: by every byte, by the output with each
number's layout taken out, or only by how the run ends; and what a runtime's report must carry."""

import re
import signal

# How much of a run two runtimes must agree on.
EXACT = "every byte"
LAYOUT_FREE = "numbers' layouts taken out"
ENDING = "how the run ends"
# Where stdout's reader went away part-way: whether the run fails (by SIGPIPE, or with a status
# not 0) and what its report quotes; and, where the output is fixed, what the reader read.
READER_GONE = "whether the run fails"
READER_GONE_OUTPUT = "whether the run fails, and what was read"

# A number as a runtime lays it out: blanks around it, its sign, digits, point, and an exponent
# written with "@" or "e" and any blanks; or an infinity or NaN in any spelling.
NUMBER = re.compile(r" *([-+]?) *(?:(\d+)(?:\.(\d*))?(?: *[@eE] *([-+]?) *(\d+))?|(inf(?:inity)?|nan)) *",
                    re.IGNORECASE)
# A report's words; quotes and the punctuation after a word are no part of it.
WORD = re.compile(r"[^\s\"'`]+")
# The shortest piece of the input that a report is taken to quote: shorter ones meet by chance.
QUOTED_AT_LEAST = 3


def canonical(match):
    sign, whole, fraction, exponent_sign, exponent, special = match.groups()
    if special:
        return f"<{sign.replace('+', '')}{special[:3].lower()}>"
    number = sign.replace("+", "") + (whole.lstrip("0") or "0")
    if fraction is not None:
        number += "." + fraction
    if exponent is not None:
        number += f"e{int(exponent_sign + exponent)}"
    return f"<{number}>"


def layout_free(text):
    """The text with each number's layout taken out: what is left is its sign, digits and
    exponent, and the characters the program writes itself."""
    return NUMBER.sub(canonical, text)


def numbers_in(text):
    return [canonical(m) for m in NUMBER.finditer(text)]


def _number(word):
    """The value of a word that is one number, in any layout; None for any other word."""
    match = NUMBER.fullmatch(word)
    if not match:
        return None
    sign, whole, fraction, exponent_sign, exponent, special = match.groups()
    if special:
        return canonical(match)
    digits = (whole + (fraction or "")).lstrip("0")
    if not digits:
        return (sign == "-", "0", 0)
    power = int((exponent_sign or "") + (exponent or "0")) - len(fraction or "")
    kept = digits.rstrip("0")
    return (sign == "-", kept, power + len(digits) - len(kept))


def _words(report):
    return [w.rstrip(",;:") for w in WORD.findall(report)]


# A bare count of one to three digits: a report writes such numbers of its own (an event's number).
COUNT = re.compile(r"\d{1,3}\Z")


def offending_token(report, input_text):
    """The piece of the input that a report quotes: the longest start of one of its words that
    the input holds (at least three characters, and no bare count), or a word that is a number
    the input holds in some layout (a runtime may write "1@39" as "1e39")."""
    numbers = {_number(m.group().strip()) for m in NUMBER.finditer(input_text)}
    best = ""
    for word in _words(report):
        if len(word) > len(best) and not COUNT.match(word) and _number(word) in numbers:
            best = word
        for end in range(len(word), max(len(best), QUOTED_AT_LEAST - 1), -1):
            if word[:end] in input_text and not COUNT.match(word[:end]):
                best = word[:end]
                break
    return best


def carries(report, token):
    """Whether a report quotes the token: as it stands, or as the same number in another layout."""
    number = _number(token)
    return token in report or (number is not None and number in map(_number, _words(report)))


def report_items(report, input_text, messages):
    """What any runtime's report must carry of the reference's: an event message of the program's
    own with every number the report gives (the program fixes the event's numbers and position),
    or the piece of the input that it quotes."""
    for message in messages:
        if message in report:
            return [message], numbers_in(report)
    token = offending_token(report, input_text)
    return ([token] if token else []), []


def report_differs(reference, yours, input_text, messages):
    """Whether your report lacks what the reference's carries (when both runs report)."""
    if not (reference and yours):
        return False
    texts, numbers = report_items(reference, input_text, messages)
    have = numbers_in(yours)
    return not all(carries(yours, t) for t in texts) or any(numbers.count(n) > have.count(n) for n in numbers)


def ended_by_itself(outcome, reader_gone=False):
    """Whether the run ended of itself: it exited, or, where the reader went away, SIGPIPE ended it."""
    return outcome.exited or (reader_gone and outcome.ending == "signal" and outcome.status == signal.SIGPIPE)


def failed(outcome):
    return not (outcome.exited and outcome.status == 0)


def disagree(reference, yours, how, input_text="", messages=()):
    """Whether two outcomes of one run part ways; the reference's run ended by itself. EXACT:
    how it ends, and every byte. LAYOUT_FREE: the output with numbers' layouts taken out,
    whether the status is 0, whether there is a report on standard error, and what it carries.
    ENDING: that yours ends by itself too, and what its report carries. READER_GONE (and
    READER_GONE_OUTPUT): that yours ends by itself, failing where the reference's run fails, and
    what its report carries (and what the reader read)."""
    if how == EXACT:
        return (reference.ending, reference.status, reference.stdout, reference.stderr) != \
            (yours.ending, yours.status, yours.stdout, yours.stderr)
    gone = how in (READER_GONE, READER_GONE_OUTPUT)
    if not ended_by_itself(yours, gone) or report_differs(reference.stderr, yours.stderr, input_text, messages):
        return True
    if gone:
        return failed(reference) != failed(yours) or (how == READER_GONE_OUTPUT and reference.stdout != yours.stdout)
    if how == ENDING:
        return False
    return ((reference.status == 0) != (yours.status == 0) or bool(reference.stderr) != bool(yours.stderr)
            or layout_free(reference.stdout) != layout_free(yours.stdout))
