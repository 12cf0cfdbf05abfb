"""Tries changed runtimes against the cases: the unchanged runtime's verdicts and time limits, then each change built, linked and run until a case fails."""

import concurrent.futures
import threading
from dataclasses import dataclass, field

from . import execute
from .runtime_build import NotBuilt

# A change that makes a case run this many times longer than it does unchanged has hung.
HANG_FACTOR = 10
HANG_FLOOR = 1.0
# A hang counts when it comes again with this many times the limit.
HANG_AGAIN = 3
SAME_CODE = {"result": "survived", "equivalent": "it compiles to the unchanged object code"}


class SetupFailed(Exception):
    """The run cannot start: the unchanged runtime does not build, or its verdicts cannot be trusted."""


@dataclass
class Trial:
    """One change to try: the files it writes into the runtime's copy (relative path -> bytes, or
    None to take one away), the compiler's words it builds with (None: the runtime's own), and the
    cases to run, each with its time limit, in the order to run them."""
    label: str
    contents: dict
    to_run: list
    flags: list = None
    variables: dict = field(default_factory=dict)


def run_cases(chosen, bin_dir, starter, expectations, jobs, variables=None):
    """(case, verdict) for each case, run jobs at a time; variables(case) gives its environment."""
    def one(case):
        outcome = execute.run_case(case, bin_dir, bin_dir, starter,
                                   variables=variables(case) if variables else None)
        return case, expectations.judge(case, outcome)
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        return list(pool.map(one, chosen))


def limit(seconds):
    """The time limit of a case that takes seconds with the unchanged runtime."""
    return max(HANG_FLOOR, HANG_FACTOR * seconds)


def baseline(slot, chosen, starter, expectations, jobs, rerun, say):
    """Each case's time with the unchanged runtime. A case that fails there would count every
    change as caught, or tell nothing, so the run stops and names each; rerun(case) is the command
    that shows one failing. A failure that does not come again (see Judged) is said, not counted."""
    times, failing = {}, []
    for case, verdict in run_cases(chosen, slot.bin, starter, expectations, jobs):
        if not verdict.passed:
            again = expectations.judge(case, execute.run_case(case, slot.bin, slot.bin, starter))
            if not again.passed:
                failing.append(f"{case.id} ({again.word})")
                continue
            say(f"{case.id} failed once with the unchanged runtime ({verdict.word}), then passed")
            verdict = again
        times[case.id] = verdict.outcome.seconds
    if failing:
        first = next(c for c in chosen if c.id not in times)
        raise SetupFailed(
            f"{len(failing)} case{'s' if len(failing) != 1 else ''} fail with the unchanged runtime, so no "
            f"change can be judged by {'them' if len(failing) != 1 else 'it'}: {', '.join(failing)}\n"
            f"  see why with: {rerun(first)}\n"
            "  then bless the runtime's output into its expectation set, mark the case a known failure "
            "there, or leave it out with --exclude")
    return times


class Judged:
    """One change's runs, case by case. A failure counts only when it comes again, since a run
    starved on a loaded machine (a hang at its limit) or a case whose output depends on timing (on
    a terminal) can fail once by itself; a hang runs again with a longer limit. The failures that
    did not come again are kept in the change's result."""

    def __init__(self, bin_dir, expectations, starter, variables=None):
        self.bin_dir, self.expectations, self.starter, self.variables = bin_dir, expectations, starter, variables
        self.once = []

    def verdict(self, case, limit):
        outcome = execute.run_case(case, self.bin_dir, self.bin_dir, self.starter, limit=limit,
                                   variables=self.variables)
        return outcome, self.expectations.judge(case, outcome)

    def caught(self, case, limit):
        """How the case catches the change: None when it passes."""
        outcome, first = self.verdict(case, limit)
        if first.passed:
            return None
        _, second = self.verdict(case, HANG_AGAIN * limit if first.word == "HANG" else limit)
        if second.passed:
            self.once.append(f"{case.id} ({first.word})")
            return None
        return self.result({"result": "caught", "by": case.id, "how": second.word,
                            "seconds": round(outcome.seconds, 3)})

    def result(self, result):
        return {**result, "failed once": self.once} if self.once else result


def try_change(slot, trial, expectations, starter):
    """The change's result: caught (with the case and how it failed), survived, or not built.
    Most changes are caught by the first program that runs, so the others are relinked only
    once its cases have passed."""
    to_run = trial.to_run
    first = to_run[0][0].program
    to_run = sorted(to_run, key=lambda run: run[0].program != first)
    linked = {first}
    try:
        if not slot.build(trial.contents, linked, trial.flags):
            return SAME_CODE
    except NotBuilt as error:
        return {"result": "not built", "reason": str(error)}
    judged = Judged(slot.bin, expectations, starter, trial.variables)
    for case, limit in to_run:
        if case.program not in linked:
            rest = {c.program for c, _ in to_run} - linked
            try:
                slot.link(rest)
            except NotBuilt as error:
                return {"result": "not built", "reason": str(error)}
            linked |= rest
        caught = judged.caught(case, limit)
        if caught:
            return caught
    return judged.result({"result": "survived"})


def run_switched(bin_dir, to_run, variables, expectations, starter, expensive, same_code):
    """The result of a change that is already built, behind the switch the variables set. Before
    the first expensive(case), same_code() may show that no case can catch it."""
    checked, judged = False, Judged(bin_dir, expectations, starter, variables)
    for case, limit in to_run:
        if not checked and expensive(case):
            checked = True
            if same_code():
                return judged.result(SAME_CODE)
        caught = judged.caught(case, limit)
        if caught:
            return caught
    return judged.result({"result": "survived"})


def said(result):
    if result["result"] == "caught":
        return f"caught by {result['by']} ({result['how']})"
    return "SURVIVED" if result["result"] == "survived" else "not built"


@dataclass
class Schema:
    """Trials built into one runtime, each taken by its switch. members: the indices of those trials;
    make(slot, members) gives the files for the members, None when the schema cannot be trusted, or
    NotBuilt;
    culprits(output, members) the members that broke a build, from its output; switch(index) the
    environment that takes a member; same_code(slot, index) whether a member alone compiles to the
    unchanged object, which costs about cost seconds (worth it before a case as slow)."""
    label: str
    members: list
    make: object
    culprits: object
    switch: object
    same_code: object
    cost: float = 1.0


class Scheduler:
    """Tries the trials on the slots, one worker per slot. A schema takes a slot to build, and holds
    it until every member it took has run there, any number at once; a member it cannot take, and
    every trial outside one, is built alone."""

    def __init__(self, trials, schemata, slots, expectations, starter, say, kept, times):
        self.trials, self.slots, self.times = trials, slots, times
        self.expectations, self.starter, self.say, self.kept = expectations, starter, say, kept
        in_schema = {i for schema in schemata for i in schema.members}
        self.schemata = list(schemata)
        self.alone = [i for i in range(len(trials)) if i not in in_schema]
        self.runs = []          # (index, slot, environment)
        self.holding = {}       # slot -> members still to run there
        self.free = list(slots)
        self.results = [None] * len(trials)
        self.done = 0
        self.stopping = False
        self.condition = threading.Condition()

    def next_job(self):
        with self.condition:
            while not self.stopping and self.done < len(self.trials):
                if self.schemata and self.free:
                    return self.build_schema, (self.schemata.pop(0), self.free.pop())
                if self.runs:
                    return self.run_member, self.runs.pop(0)
                if self.alone and self.free:
                    return self.build_alone, (self.alone.pop(0), self.free.pop())
                self.condition.wait()
            return None

    def work(self):
        try:
            while job := self.next_job():
                function, arguments = job
                function(*arguments)
        except BaseException:
            with self.condition:
                self.stopping = True
                self.condition.notify_all()
            raise

    def finish(self, index, result, slot=None):
        with self.condition:
            if self.stopping:
                # The run was stopped, and its programs with it: a result now is the stop's, not the change's.
                return
            self.results[index] = result
            self.done += 1
            self.say(f"[{self.done}/{len(self.trials)}] {self.trials[index].label}  ... {said(result)}")
            if slot is not None:
                self.holding[slot] -= 1
                if not self.holding[slot]:
                    self.free.append(slot)
            self.condition.notify_all()

    def build_schema(self, schema, slot):
        members, alone = list(schema.members), []
        while members:
            programs = {case.program for i in members for case, _ in self.trials[i].to_run}
            try:
                contents = schema.make(slot, members)
                if contents is None:
                    self.say(f"{schema.label}: its schema with no mutant on does not compile to the unchanged "
                             "object, so its mutants are built one by one")
                    break
                slot.build(contents, programs)
            except NotBuilt as error:
                broken = schema.culprits(error.output, members) or members
                alone += broken
                members = [i for i in members if i not in broken]
                continue
            with self.condition:
                self.alone += alone
                self.holding[slot] = len(members)
                self.runs += [(i, slot, schema) for i in members]
                self.condition.notify_all()
            return
        with self.condition:
            self.alone += alone + members
            self.free.append(slot)
            self.condition.notify_all()

    def run_member(self, index, slot, schema):
        result = run_switched(slot.bin, self.trials[index].to_run, schema.switch(index), self.expectations,
                              self.starter, lambda case: self.times[case.id] > schema.cost,
                              lambda: schema.same_code(slot, index))
        self.finish(index, {**result, "built": "in its file's schema"}, slot)

    def build_alone(self, index, slot):
        try:
            result = try_change(slot, self.trials[index], self.expectations, self.starter)
            if self.kept:
                self.kept(slot, index, result)
        finally:
            with self.condition:
                self.free.append(slot)
        self.finish(index, {**result, "built": "alone"})


def try_all(trials, slots, expectations, starter, say, kept=None, schemata=(), times=None):
    """Each trial's result, tried as many at once as there are slots; those in a schema run from its
    build. kept(slot, index, result) is called while the slot still holds a trial built alone (to
    keep its archive, say); times: each case's seconds with the unchanged runtime."""
    scheduler = Scheduler(trials, schemata, slots, expectations, starter, say, kept, times or {})
    with concurrent.futures.ThreadPoolExecutor(max_workers=len(slots)) as pool:
        workers = [pool.submit(scheduler.work) for _ in slots]
        try:
            for worker in workers:
                worker.result()
        except BaseException:
            with scheduler.condition:
                scheduler.stopping = True
                scheduler.condition.notify_all()
            execute.stop_all()
            raise
    return scheduler.results
