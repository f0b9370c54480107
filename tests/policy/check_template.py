#!/usr/bin/env python3
"""Checks Corvane's administrative template, policy/Corvane.admx with policy/en-US/Corvane.adml,
against itself and against the keys the service reads (engine/DrivePolicy.h):

- both files are well-formed XML of the ADMX schema's namespace, revision and schemaVersion 1.0;
- every $(string.X) and $(presentation.X) the ADMX names is defined in the ADML, once, and every
  string and presentation the ADML defines is named by the ADMX; each presentation's controls
  are exactly the elements of the policy that shows it (refId to id);
- every category and supportedOn reference resolves: to a category or definition of the ADMX's
  own, or through a using prefix to Windows' own (windows.admx's SUPPORTED_ names);
- every policy is a machine policy with a category and a supportedOn;
- the list elements are exactly two, their keys (case aside) kPolicyDrivesKey and
  kPolicyLabelsKey as the header spells them, both with explicitValue="true" (the value name is
  the letter), the drives' expandable="true" (REG_EXPAND_SZ, which the service expands) and the
  labels' not (the service takes a label of REG_SZ only).

    tests/policy/check_template.py [ADMX ADML HEADER]
"""
import pathlib
import re
import sys
import xml.etree.ElementTree as ET

ROOT = pathlib.Path(__file__).resolve().parents[2]
SCHEMA = "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions"
NS = {"p": SCHEMA}
WINDOWS_NAMESPACE = "Microsoft.Policies.Windows"
# Definitions of windows.admx that a policy may name through its using prefix.
WINDOWS_SUPPORTED = {"SUPPORTED_WindowsVista", "SUPPORTED_Windows7", "SUPPORTED_Windows8",
                     "SUPPORTED_Windows_10_0"}
REFERENCE = re.compile(r"\$\((string|presentation)\.([^)]*)\)")


def header_key(header, name):
    """The value of `inline constexpr char16_t NAME[] = u"...";`, unescaped; None if absent."""
    match = re.search(r"\b" + name + r'\[\]\s*=\s*u"((?:[^"\\]|\\.)*)"\s*;', header)
    return re.sub(r"\\(.)", r"\1", match.group(1)) if match else None


def parse(text, what, problems):
    try:
        return ET.fromstring(text.encode("utf-8"))
    except ET.ParseError as error:
        problems.append(f"{what} is not well-formed XML: {error}")
        return None


def check_root(root, tag, what, problems):
    if root.tag != f"{{{SCHEMA}}}{tag}":
        problems.append(f"{what}: the root is {root.tag}, not {tag} in {SCHEMA}")
    for attribute in ("revision", "schemaVersion"):
        if root.get(attribute) != "1.0":
            problems.append(f'{what}: {attribute} is {root.get(attribute)!r}, not "1.0"')


def problems_of(admx_text, adml_text, header):
    problems = []
    admx = parse(admx_text, "the ADMX", problems)
    adml = parse(adml_text, "the ADML", problems)
    if admx is None or adml is None:
        return problems
    check_root(admx, "policyDefinitions", "the ADMX", problems)
    check_root(adml, "policyDefinitionResources", "the ADML", problems)

    # Names and references.
    named = {"string": set(), "presentation": set()}
    for element in admx.iter():
        for value in list(element.attrib.values()) + [element.text or ""]:
            for kind, name in REFERENCE.findall(value):
                named[kind].add(name)
    defined = {}
    for kind, path in (("string", "p:resources/p:stringTable/p:string"),
                       ("presentation", "p:resources/p:presentationTable/p:presentation")):
        ids = [element.get("id") for element in adml.findall(path, NS)]
        defined[kind] = set(ids)
        for name in sorted({i for i in ids if ids.count(i) > 1}):
            problems.append(f"the ADML defines the {kind} {name} more than once")
        for name in sorted(named[kind] - defined[kind]):
            problems.append(f"the ADMX names $({kind}.{name}), which the ADML does not define")
        for name in sorted(defined[kind] - named[kind]):
            problems.append(f"the ADML defines the {kind} {name}, which the ADMX never names")

    # Namespaces, categories, supportedOn.
    target = admx.find("p:policyNamespaces/p:target", NS)
    own = target.get("prefix") if target is not None else None
    if own is None:
        problems.append("the ADMX declares no target namespace")
    using = {u.get("prefix"): u.get("namespace") for u in admx.findall("p:policyNamespaces/p:using", NS)}
    categories = {c.get("name") for c in admx.findall("p:categories/p:category", NS)}
    supported = {d.get("name") for d in admx.findall("p:supportedOn/p:definitions/p:definition", NS)}

    def resolves(ref, own_names, windows_names):
        prefix, _, name = ref.rpartition(":")
        if prefix in ("", own):
            return name in own_names
        return using.get(prefix) == WINDOWS_NAMESPACE and name in windows_names

    for element in admx.iter(f"{{{SCHEMA}}}parentCategory"):
        if not resolves(element.get("ref", ""), categories, set()):
            problems.append(f"the category {element.get('ref')!r} is not defined")
    for element in admx.iter(f"{{{SCHEMA}}}supportedOn"):
        if element.get("ref") is not None and not resolves(element.get("ref"), supported, WINDOWS_SUPPORTED):
            problems.append(f"the supportedOn {element.get('ref')!r} is not defined")

    # Policies and what they show.
    presentations = {p.get("id"): p for p in adml.findall("p:resources/p:presentationTable/p:presentation", NS)}
    for policy in admx.findall("p:policies/p:policy", NS):
        name = policy.get("name")
        if policy.get("class") != "Machine":
            problems.append(f'the policy {name} is of class {policy.get("class")!r}, not "Machine"')
        for child in ("parentCategory", "supportedOn"):
            if policy.find(f"p:{child}", NS) is None:
                problems.append(f"the policy {name} has no {child}")
        ids = {e.get("id") for e in policy.findall("p:elements/*", NS)}
        shown = REFERENCE.fullmatch(policy.get("presentation", ""))
        if shown and shown.group(2) in presentations:
            refs = {c.get("refId") for c in presentations[shown.group(2)] if c.get("refId") is not None}
            if refs != ids:
                problems.append(f"the presentation of {name} shows {sorted(refs)}, its elements are {sorted(ids)}")

    # The lists, against the keys the service reads.
    lists = admx.findall("p:policies/p:policy/p:elements/p:list", NS)
    wanted = {}
    for constant, expandable in (("kPolicyDrivesKey", "true"), ("kPolicyLabelsKey", None)):
        key = header_key(header, constant)
        if key is None:
            problems.append(f"engine/DrivePolicy.h declares no {constant}")
        else:
            wanted[key.lower()] = (constant, expandable)
    if len(lists) != 2:
        problems.append(f"the ADMX has {len(lists)} list elements, not 2")
    seen = set()
    for element in lists:
        key = (element.get("key") or "").lower()
        if key not in wanted:
            problems.append(f"the list {element.get('id')} writes {element.get('key')!r}, which the service does not read")
            continue
        constant, expandable = wanted[key]
        seen.add(constant)
        if element.get("explicitValue") != "true":
            problems.append(f'the list for {constant} has explicitValue={element.get("explicitValue")!r}, not "true"')
        if element.get("expandable") != expandable:
            problems.append(f"the list for {constant} has expandable={element.get('expandable')!r}, not {expandable!r}")
    for constant, _ in wanted.values():
        if constant not in seen:
            problems.append(f"no list writes {constant}")
    return problems


def main(argv):
    paths = [pathlib.Path(a) for a in argv] or [ROOT / "policy/Corvane.admx",
                                               ROOT / "policy/en-US/Corvane.adml",
                                               ROOT / "engine/DrivePolicy.h"]
    if len(paths) != 3:
        print(__doc__.strip().splitlines()[-1].strip(), file=sys.stderr)
        return 2
    texts = dict(zip(("admx", "adml", "header"), (p.read_text(encoding="utf-8") for p in paths)))
    failures = 0
    for problem in problems_of(texts["admx"], texts["adml"], texts["header"]):
        print(f"FAILED  {problem}")
        failures += 1
    if failures == 0:
        print(f"ok      {paths[0].name} and {paths[1].name} agree, and with {paths[2].name}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
