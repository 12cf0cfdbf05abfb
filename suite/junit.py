"""Writes the run's verdicts as a JUnit XML file, one testcase per suite case."""

import xml.etree.ElementTree as ET

from .files import write_atomically
from .report import failure_text


def write_junit(path, verdicts, rerun, properties):
    """properties: how the run was made (name to text), recorded on each testsuite."""
    root = ET.Element("testsuites", name="kel regression suite")
    suites = {}
    for verdict in verdicts:
        case = verdict.case
        suite = suites.get(case.deliverable)
        if suite is None:
            suite = suites[case.deliverable] = ET.SubElement(root, "testsuite", name=case.deliverable)
            listed = ET.SubElement(suite, "properties")
            for name, value in properties.items():
                ET.SubElement(listed, "property", name=name, value=value)
        testcase = ET.SubElement(suite, "testcase", classname=case.deliverable, name=case.name,
                                 time=f"{verdict.outcome.seconds:.3f}")
        if not verdict.passed:
            failure = ET.SubElement(testcase, "failure", type=verdict.kind,
                                    message="; ".join(verdict.problems))
            failure.text = failure_text(verdict, rerun(case), limit=None)
        elif verdict.known_failure:
            known = ET.SubElement(testcase, "system-out")
            known.text = "\n".join([f"XFAIL, a known failure: {verdict.known_failure}", *verdict.missed])
    for element in [root, *suites.values()]:
        cases = element.iter("testcase")
        timed = [(float(c.get("time")), c.find("failure") is not None) for c in cases]
        element.set("tests", str(len(timed)))
        element.set("failures", str(sum(failed for _, failed in timed)))
        element.set("errors", "0")
        element.set("time", f"{sum(t for t, _ in timed):.3f}")
    ET.indent(root)
    write_atomically(path, ET.tostring(root, encoding="utf-8", xml_declaration=True))
