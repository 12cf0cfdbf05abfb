"""Writes the run's verdicts as a JUnit XML file, one testcase per selected suite case."""

import xml.etree.ElementTree as ET

from .files import write_atomically
from .report import failure_text


def write_junit(path, chosen, verdicts, rerun, properties, not_run=""):
    """chosen: every selected case, each a testcase; those without a verdict were not run, for
    the reason not_run, and are skipped. properties: how the run was made (name to text),
    recorded on each testsuite."""
    root = ET.Element("testsuites", name="kel regression suite")
    suites = {}
    judged = {v.case.id: v for v in verdicts}
    for case in chosen:
        verdict = judged.get(case.id)
        suite = suites.get(case.deliverable)
        if suite is None:
            suite = suites[case.deliverable] = ET.SubElement(root, "testsuite", name=case.deliverable)
            listed = ET.SubElement(suite, "properties")
            for name, value in properties.items():
                ET.SubElement(listed, "property", name=name, value=value)
        testcase = ET.SubElement(suite, "testcase", classname=case.deliverable, name=case.name,
                                 time=f"{verdict.outcome.seconds if verdict else 0:.3f}")
        if verdict is None:
            ET.SubElement(testcase, "skipped", message=f"not run: {not_run}")
        elif not verdict.passed:
            failure = ET.SubElement(testcase, "failure", type=verdict.word,
                                    message="; ".join(verdict.problems))
            failure.text = failure_text(verdict, rerun(case), limit=None)
        elif verdict.known_failure:
            # As a known failure that fails is commonly written: skipped, with its reason.
            ET.SubElement(testcase, "skipped", type="xfail", message=verdict.known_failure)
            known = ET.SubElement(testcase, "system-out")
            known.text = "\n".join([f"XFAIL, a known failure: {verdict.known_failure}", *verdict.missed])
    for element in [root, *suites.values()]:
        cases = list(element.iter("testcase"))
        element.set("tests", str(len(cases)))
        element.set("failures", str(sum(c.find("failure") is not None for c in cases)))
        element.set("errors", "0")
        element.set("skipped", str(sum(c.find("skipped") is not None for c in cases)))
        element.set("time", f"{sum(float(c.get('time')) for c in cases):.3f}")
    ET.indent(root)
    write_atomically(path, ET.tostring(root, encoding="utf-8", xml_declaration=True))
