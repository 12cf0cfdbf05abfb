"""The CI matrices of docs/ci.md are valid YAML whose jobs run only ./regress commands, with
options those commands take, and whose shards are each part of their N once."""

import functools
import itertools
import re
import shlex
import subprocess
import unittest

import yaml

from suite import toolchain
from tests.runner.support import ROOT

DOC = ROOT / "docs" / "ci.md"
COMMANDS = ("test", "mutants", "hunt", "perf", "bisect", "bench", "fuzz")


def pipelines():
    """Each YAML block of the document, loaded."""
    return [yaml.safe_load(block) for block in re.findall(r"^```yaml\n(.*?)^```$", DOC.read_text(), re.M | re.S)]


@functools.cache
def options_of(command):
    """The long options that ./regress COMMAND --help names."""
    done = subprocess.run([str(ROOT / "regress"), *command, "--help"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return set(re.findall(r"--[a-z][a-z-]*", done.stdout))


def github_jobs(pipeline):
    """(matrix rows, commands) of each job of a GitHub workflow."""
    for job in pipeline["jobs"].values():
        matrix = job.get("strategy", {}).get("matrix", {})
        axes = {k: v for k, v in matrix.items() if k != "include"}
        rows = [dict(zip(axes, values)) for values in itertools.product(*axes.values())] + matrix.get("include", [])
        commands = [step["run"] for step in job["steps"] if "run" in step]
        yield [{f"${{{{ matrix.{k} }}}}": str(v) for k, v in row.items()} for row in rows] or [{}], commands


def gitlab_jobs(pipeline):
    """(matrix rows, commands) of each job of a GitLab pipeline."""
    for job in (v for k, v in pipeline.items() if isinstance(v, dict) and "script" in v):
        rows = [dict(zip(axes, values)) for axes_values in job.get("parallel", {}).get("matrix", [])
                for axes in [{k: v if isinstance(v, list) else [v] for k, v in axes_values.items()}]
                for values in itertools.product(*axes.values())]
        yield [{f"${k}": str(v) for k, v in row.items()} for row in rows] or [{}], job["script"]


def expanded(command, row):
    for variable, value in row.items():
        command = command.replace(variable, value)
    return command


class CiDoc(unittest.TestCase):
    def jobs(self):
        github, gitlab = pipelines()
        return [*github_jobs(github), *gitlab_jobs(gitlab)]

    def test_both_pipelines_are_there(self):
        github, gitlab = pipelines()
        self.assertIn("jobs", github)
        self.assertEqual(gitlab["image"], "debian:12")

    def test_every_command_is_a_regress_command_with_its_own_options(self):
        for rows, commands in self.jobs():
            for command, row in itertools.product(commands, rows):
                words = shlex.split(expanded(command, row))
                with self.subTest(command=" ".join(words)):
                    self.assertEqual(words[0], "./regress")
                    sub = words[1:2] if words[1:2] and words[1] in COMMANDS else []
                    self.assertEqual(sorted({w.split("=")[0] for w in words if w.startswith("--")}
                                            - options_of(tuple(sub))), [])
                    for word, value in zip(words, words[1:]):
                        if word == "--toolchain":
                            self.assertIn(value, toolchain.CHOICES)

    def test_each_shard_of_a_matrix_runs_once(self):
        for rows, commands in self.jobs():
            for command in commands:
                parts = [m for row in rows for m in re.findall(r"--shard (\S+)", expanded(command, row))]
                if not parts:
                    continue
                with self.subTest(command=command):
                    # Rows that differ in another axis (toolchain, host) each run all N parts.
                    others = [tuple(sorted((k, v) for k, v in row.items() if "shard" not in k.lower()))
                              for row in rows]
                    for other in set(others):
                        shards = sorted(p for p, o in zip(parts, others) if o == other)
                        total = int(shards[0].split("/")[1])
                        self.assertEqual(shards, sorted(f"{k}/{total}" for k in range(1, total + 1)))


if __name__ == "__main__":
    unittest.main()
