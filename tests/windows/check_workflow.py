#!/usr/bin/python3
"""Checks the GitHub Actions workflows with a real YAML parser (Debian's python3-yaml) and a few
structural rules, since this repository's own CI never runs them:

- it parses, and has a trigger and jobs; every job has runs-on and steps, every step uses an
  action or runs a command;
- every artifact a job downloads is uploaded by a job it needs (directly or through another);
- only GitHub's own actions are used, and no secret is read;
- every upload sets overwrite: true, so that a re-run replaces its artifact;
- on a Windows runner every command step has its own timeout-minutes (a hang fails that step
  alone), and the contract tests write their XML (--gtest_output=xml:);
- every path a job names inside a downloaded artifact (artifact\bin\... for a download to
  artifact) is one the upload puts there: upload-artifact keeps its paths below their longest
  common folder.

    tests/windows/check_workflow.py [WORKFLOW.yml...]   (default: .github/workflows/*.yml)
"""
import fnmatch
import pathlib
import posixpath
import re
import sys

import yaml


def needed(jobs, name, seen=None):
    """The jobs a job waits for, directly or through others."""
    seen = set() if seen is None else seen
    needs = jobs.get(name, {}).get("needs", [])
    for other in [needs] if isinstance(needs, str) else needs:
        if other not in seen:
            seen.add(other)
            needed(jobs, other, seen)
    return seen


def action_steps(job, action):
    return [step for step in job.get("steps") or []
            if isinstance(step, dict) and str(step.get("uses", "")).startswith(action + "@")]


def artifact_names(job, action):
    return [(step.get("with") or {}).get("name") for step in action_steps(job, action)]


def uploaded(step):
    """The paths an upload step puts in its artifact, relative to the artifact's root: the longest
    common folder of the paths searched (each pattern up to its first wildcard) is stripped."""
    patterns = [line.strip() for line in str((step.get("with") or {}).get("path", "")).splitlines()
                if line.strip() and not line.strip().startswith("!")]
    searched = [re.split(r"/?[^/]*[*?\[]", p, maxsplit=1)[0] for p in patterns]
    root = posixpath.commonpath(searched) if len(searched) > 1 else ""
    return [posixpath.relpath(p, root) if root else p for p in patterns]


def fits(path, entries):
    """Whether path (relative to an artifact's root) is one of entries or a folder above one."""
    return any(fnmatch.fnmatch(path, e) or fnmatch.fnmatch(e, path) or e.startswith(path + "/")
               for e in entries)


def check(path):
    problems = []
    text = path.read_text()
    try:
        workflow = yaml.safe_load(text)
    except yaml.YAMLError as error:
        return [f"not YAML: {error}"]
    if not isinstance(workflow, dict):
        return ["not a mapping at the top"]
    # YAML 1.1, which PyYAML reads, takes a bare `on` for true.
    if "on" not in workflow and True not in workflow:
        problems.append("no trigger (on:)")
    jobs = workflow.get("jobs")
    if not isinstance(jobs, dict) or not jobs:
        return problems + ["no jobs"]

    uploads = {}
    for name, job in jobs.items():
        if not isinstance(job, dict):
            problems.append(f"job {name} is not a mapping")
            continue
        if not job.get("runs-on"):
            problems.append(f"job {name} has no runs-on")
        steps = job.get("steps")
        if not isinstance(steps, list) or not steps:
            problems.append(f"job {name} has no steps")
            continue
        for number, step in enumerate(steps, 1):
            if not isinstance(step, dict) or ("uses" in step) == ("run" in step):
                problems.append(f"job {name} step {number} needs exactly one of uses or run")
                continue
            uses = step.get("uses")
            if uses is not None and not str(uses).startswith("actions/"):
                problems.append(f"job {name} step {number} uses {uses}, not one of GitHub's own")
        for needs in [job.get("needs", [])]:
            for other in [needs] if isinstance(needs, str) else needs:
                if other not in jobs:
                    problems.append(f"job {name} needs {other}, which is no job")
        windows = "windows" in str(job.get("runs-on", "")).lower()
        for number, step in enumerate(steps, 1):
            run = str(step.get("run", "")) if isinstance(step, dict) else ""
            if windows and run and "timeout-minutes" not in step:
                problems.append(f"job {name} step {number} runs on Windows without timeout-minutes")
            if "corvane_contract_tests" in run and "--gtest_output=xml:" not in run:
                problems.append(f"job {name} step {number} runs the contract tests without XML")
        for step in action_steps(job, "actions/upload-artifact"):
            artifact = (step.get("with") or {}).get("name")
            if not artifact:
                problems.append(f"job {name} uploads an artifact without a name")
            if (step.get("with") or {}).get("overwrite") not in (True, "true"):
                problems.append(f"job {name} uploads {artifact} without overwrite: true")
            uploads.setdefault(artifact, {})[name] = uploaded(step)

    for name, job in jobs.items():
        if not isinstance(job, dict):
            continue
        runs = "\n".join(str(s.get("run", "")) for s in job.get("steps") or [] if isinstance(s, dict))
        for step in action_steps(job, "actions/download-artifact"):
            artifact = (step.get("with") or {}).get("name")
            makers = uploads.get(artifact, {})
            if not artifact:
                problems.append(f"job {name} downloads an artifact without a name")
            elif not makers:
                problems.append(f"job {name} downloads {artifact}, which no job uploads")
            elif not set(makers) & needed(jobs, name):
                problems.append(f"job {name} downloads {artifact} without needing "
                                f"{' or '.join(sorted(makers))}, which uploads it")
            folder = str((step.get("with") or {}).get("path", "")).strip().strip("/\\")
            if not folder or not makers:
                continue
            entries = [e for paths in makers.values() for e in paths]
            found = re.findall(r"(?<![\w.-])" + re.escape(folder) + r"[\\/]([^\s\"'`;|()]+)", runs)
            for used in sorted({f.replace("\\", "/").rstrip("/") for f in found}):
                if not fits(used, entries):
                    problems.append(f"job {name} uses {folder}/{used}, which {artifact} does not "
                                    f"hold (it holds {', '.join(entries)})")
    if "secrets." in text:
        problems.append("reads a secret")
    return problems


def main(arguments):
    root = pathlib.Path(__file__).resolve().parents[2]
    paths = [pathlib.Path(a) for a in arguments] or sorted((root / ".github/workflows").glob("*.yml"))
    if not paths:
        print("no workflows found", file=sys.stderr)
        return 1
    failed = False
    for path in paths:
        problems = check(path)
        for problem in problems:
            print(f"{path}: {problem}", file=sys.stderr)
        failed = failed or bool(problems)
        if not problems:
            print(f"{path.name}: ok")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
