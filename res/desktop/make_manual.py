#!/usr/bin/env python3
"""make_manual.py PROGRAM VERSION OUT.1: a manual page made from the program's own --help (and each
command's, for vantaloop-cli), so that it lists every command and option the program has."""
import os
import re
import subprocess
import sys

EXAMPLES = {
    "vantaloop": [
        ("Play the bundled library, starting where the settings say:", "vantaloop"),
        ("Play one loop first:", "vantaloop ~/Loops/sunrise.lqf"),
        ("Take loops and their pictures from another folder:", "vantaloop --library ~/MyLibrary"),
    ],
    "vantaloop-cli": [
        ("Summarise a loop:", "vantaloop-cli info sunrise.lqf"),
        ("Look for missing pictures, seams and invisible layers in every loop of a folder:",
         "vantaloop-cli check ~/Loops/*.lqf"),
        ("Edit a loop as text and make it a loop file again:",
         "vantaloop-cli decompile sunrise.lqf > sunrise.txt\nvantaloop-cli compile sunrise.txt sunrise.lqf"),
        ("Put new words over a loop and make its text turn a quarter more by its second key:",
         "vantaloop-cli edit sunrise.lqf opening.lqf --text 'Grand Opening' --key text_rot_y@100=90"),
        ("Render a loop to a video, without a display:", "vantaloop-cli render sunrise.lqf --video sunrise.mp4"),
        ("Draw a 256 x 256 PNG picture of a loop, as file managers do:",
         "vantaloop-cli thumbnail --size 256 sunrise.lqf sunrise.png"),
    ],
}

SUMMARY = {
    "vantaloop": "player of keyframed, procedurally rendered video loops",
    "vantaloop-cli": "inspect, check, convert and render Vantaloop loops",
}


def help_of(program, *args):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    out = subprocess.run([program, *args, "--help"], check=True, capture_output=True, text=True, env=env)
    return out.stdout


def esc(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\n".join("\\&" + line if line[:1] in (".", "'") else line for line in text.split("\n"))


def parse(text):
    """Splits help text into (intro lines, [(heading, [(term, description)])], closing lines)."""
    intro, sections, closing = [], [], []
    current = None
    for line in text.rstrip("\n").split("\n"):
        if not line.strip():
            continue
        if re.match(r"^(Options|Positionals|Subcommands):$", line):
            current = (line[:-1], [])
            sections.append(current)
        elif current is not None and line.startswith("  ") and not line.startswith("   "):
            term, _, desc = re.split(r"(\s{2,}|$)", line.strip(), maxsplit=1)
            current[1].append([term, desc.strip()])
        elif current is not None and line.startswith("   ") and current[1]:
            current[1][-1][1] = (current[1][-1][1] + " " + line.strip()).strip()
        elif current is None:
            intro.append(line)
        else:
            closing.append(line)
    return intro, sections, closing


def items(entries):
    out = []
    for term, desc in entries:
        # CLI11 puts "Excludes: --x" beside the name; it reads better after the description.
        extra = ""
        m = re.match(r"^(\S+(?: \S+)*?)\s+((?:Excludes|Needs): .*)$", term)
        if m:
            term, extra = m.group(1), " (" + m.group(2) + ")"
        out.append(".TP\n.B " + esc(term) + "\n" + esc(desc + extra))
    return "\n".join(out)


def main():
    program, version, out_path = sys.argv[1:4]
    name = os.path.basename(program)
    top = help_of(program)
    intro, sections, _ = parse(top)
    usage = [l for l in intro if l.lower().startswith("usage:")]
    described = [l for l in intro if not l.lower().startswith("usage:")]
    page = [
        '.TH %s 1 "" "%s %s" "User Commands"' % (name.upper(), name, version),
        ".SH NAME",
        "%s \\- %s" % (esc(name), SUMMARY.get(name, "")),
        ".SH SYNOPSIS",
    ]
    for l in usage:
        page += [".nf", esc(re.sub(r"^[Uu]sage:\s*", "", l)), ".fi"]
    page += [".SH DESCRIPTION", esc(" ".join(described))]
    commands = []
    for heading, entries in sections:
        if heading == "Subcommands":
            commands = entries
            continue
        page += [".SH " + ("ARGUMENTS" if heading == "Positionals" else "OPTIONS"), items(entries)]
    if commands:
        page.append(".SH COMMANDS")
        for command, summary in commands:
            sub_intro, sub_sections, _ = parse(help_of(program, command))
            page += [".SS " + esc(command), esc(summary)]
            for l in sub_intro:
                if l.lower().startswith("usage:"):
                    page += [".PP", ".nf", esc(re.sub(r"^[Uu]sage:\s*", "", l)), ".fi"]
            for heading, entries in sub_sections:
                shown = [e for e in entries if not e[0].startswith("-h,--help")]
                if shown:
                    page += [".PP", heading + ":", ".RS", items(shown), ".RE"]
    page += [".SH ENVIRONMENT", ".TP", ".B VANTALOOP_HOME",
             "The library folder (loops, pictures, models, textures) when no \\-\\-library is given. "
             "Without either, the data installed with the program in /usr/share/vantaloop is used."]
    page += [".SH FILES", ".TP", ".I /usr/share/vantaloop",
             "The bundled loop library (Sequences) and the pictures, particles, textures and model it uses."]
    page.append(".SH EXAMPLES")
    for what, command in EXAMPLES.get(name, []):
        page += [".PP", esc(what), ".PP", ".RS", ".nf", esc(command), ".fi", ".RE"]
    others = [p for p in ("vantaloop", "vantaloop-cli") if p != name]
    page += [".SH SEE ALSO", ", ".join(".BR %s (1)" % esc(o) for o in others).replace(", .BR", "\n.BR")]
    os.makedirs(os.path.dirname(os.path.abspath(out_path)), exist_ok=True)
    with open(out_path + ".tmp", "w", encoding="utf-8") as f:
        f.write("\n".join(page) + "\n")
    os.replace(out_path + ".tmp", out_path)


if __name__ == "__main__":
    main()
