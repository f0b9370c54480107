#!/usr/bin/python3
"""Checks the GitHub Actions workflows with a real YAML parser (Debian's python3-yaml) and a few
structural rules, since this repository's own CI never runs them:

- it parses, and has a trigger and jobs; every job has runs-on and steps, every step uses an
  action or runs a command;
- every artifact a job downloads is uploaded by a job it needs (directly or through another);
- only GitHub's own actions are used, and no secret is read.

    tests/windows/check_workflow.py [WORKFLOW.yml...]   (default: .github/workflows/*.yml)
"""
import pathlib
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


def artifact_names(job, action):
    names = []
    for step in job.get("steps") or []:
        if isinstance(step, dict) and str(step.get("uses", "")).startswith(action + "@"):
            names.append((step.get("with") or {}).get("name"))
    return names


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
        for artifact in artifact_names(job, "actions/upload-artifact"):
            if not artifact:
                problems.append(f"job {name} uploads an artifact without a name")
            uploads.setdefault(artifact, set()).add(name)

    for name, job in jobs.items():
        if not isinstance(job, dict):
            continue
        for artifact in artifact_names(job, "actions/download-artifact"):
            makers = uploads.get(artifact, set())
            if not artifact:
                problems.append(f"job {name} downloads an artifact without a name")
            elif not makers:
                problems.append(f"job {name} downloads {artifact}, which no job uploads")
            elif not makers & needed(jobs, name):
                problems.append(f"job {name} downloads {artifact} without needing "
                                f"{' or '.join(sorted(makers))}, which uploads it")
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
