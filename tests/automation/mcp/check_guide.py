#!/usr/bin/env python3
"""Checks the automation server's part of the user's guide against the program.

Every fenced JSON example must parse (and every TOML one); every host
configuration must start `vantle-cli mcp`, and so must every `... mcp add`
command; every tools/call example, and the guide's table of tools and their
arguments, must name exactly the tools and arguments of the catalogue the
built program lists (with desktop capture allowed, so that every argument is
there); a settings example must be one the program reads, and one that allows
desktop capture must make the program list the monitor and region
arguments; and an example reply must have the three content items of a
capture, with a preview whose PNG is the size the summary names.

Usage: check_guide.py --binary PATH [--wrapper CMD] GUIDE

--wrapper runs the program through another, scripts/wine-run for the Windows
build. Windows keeps the settings file in the roaming application data of the
Wine prefix, not under $XDG_CONFIG_HOME, so the check writes it there (the test
gives it a prefix of its own, as run_sessions.py's --wrapper needs) and removes
it afterwards; the prefix's Pictures folder is the run's private one.
"""

import argparse
import base64
import binascii
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile
import tomllib

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "harness"))
from harness import png_size  # noqa: E402
from run_sessions import PICTURES_VARIABLE, SETTINGS_FOLDER, prepare_wine  # noqa: E402

SETTINGS_KEYS = {
    "hotkey_region", "hotkey_full", "hotkey_screen", "save_dir", "format", "jpeg_quality",
    "copy_to_clipboard", "ask_where_to_save", "filename_pattern", "dim", "autostart",
    "hotkey_record", "automation_allow_desktop",
}
HOSTS = {
    "Claude Desktop": "claude_desktop_config.json",
    "Claude Code": "claude mcp add",
    "VS Code": ".vscode/mcp.json",
    "Cursor": ".cursor/mcp.json",
    "Codex": "config.toml",
    "Gemini CLI": "settings.json",
}

problems = []
# The wrapper's words and the settings base of the Windows build under Wine
# (none on Linux, where the settings live under $XDG_CONFIG_HOME).
WRAPPER = []
WINE_SETTINGS = None


def problem(where, text):
    problems.append("%s: %s" % (where, text))


def catalogue(binary, settings_text):
    """The tools the program lists with this config.json: {name: properties}."""
    with tempfile.TemporaryDirectory(prefix="vantle-guide-") as home:
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=home)
        if WRAPPER:
            # Wine shows the host's root as drive Z:.
            os.mkdir(os.path.join(home, "Pictures"))
            env[PICTURES_VARIABLE] = "Z:" + os.path.join(home, "Pictures").replace("/", "\\")
        folder = os.path.join(WINE_SETTINGS or home, SETTINGS_FOLDER)
        os.makedirs(folder, exist_ok=True)
        settings = os.path.join(folder, "config.json")
        with open(settings, "w") as handle:
            handle.write(settings_text)
        request = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "tools/list"}) + "\n"
        try:
            result = subprocess.run(WRAPPER + [binary, "mcp"], input=request.encode(),
                                    capture_output=True, env=env, cwd=home, timeout=60)
        finally:
            os.remove(settings)
        if result.returncode != 0:
            sys.exit("%s mcp: status %d, %r" % (binary, result.returncode, result.stderr[-500:]))
        tools = json.loads(result.stdout)["result"]["tools"]
        return {tool["name"]: tool["inputSchema"] for tool in tools}, result.stderr.decode()


def starts_the_server(entry):
    command = os.path.basename(str(entry.get("command", "")).replace("\\", "/"))
    return command in ("vantle-cli", "vantle-cli.exe") and entry.get("args") == ["mcp"]


def check_host_configs(where, value):
    for key in ("mcpServers", "servers", "mcp_servers"):
        if isinstance(value, dict) and key in value:
            for name, entry in value[key].items():
                if not starts_the_server(entry):
                    problem(where, "server %r does not start `vantle-cli mcp`: %r" % (name, entry))
            return True
    return False


def check_tool_call(where, value, tools):
    params = value.get("params", {})
    name = params.get("name")
    if name not in tools:
        problem(where, "no tool %r in the catalogue" % name)
        return
    properties = tools[name]["properties"]
    for argument, given in params.get("arguments", {}).items():
        if argument not in properties:
            problem(where, "%s has no argument %r" % (name, argument))
        elif argument == "region" and isinstance(given, dict):
            for member in given:
                if member not in properties["region"]["properties"]:
                    problem(where, "region has no member %r" % member)


def check_settings(where, text, value, binary):
    unknown = set(value) - SETTINGS_KEYS
    if unknown:
        problem(where, "settings keys the file does not have: %r" % sorted(unknown))
    tools, warnings = catalogue(binary, text)
    if warnings:
        problem(where, "the program does not read this file: %s" % warnings.strip())
    properties = tools["capture"]["properties"]
    allowed = "monitor" in properties and "region" in properties
    if allowed != (value.get("automation_allow_desktop") is True):
        problem(where, "the program reads this file as desktop capture %s"
                % ("allowed" if allowed else "off"))


def check_reply(where, text, value):
    compact = json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)
    if compact != text.strip():
        problem(where, "a reply is one compact line with its members in order")
    content = value["result"]["content"]
    if [item.get("type") for item in content] != ["text", "text", "image"]:
        problem(where, "a capture's reply holds a text, a text and an image")
        return
    result = json.loads(content[0]["text"])
    try:
        size = png_size(base64.b64decode(content[2]["data"], validate=True))
    except binascii.Error as error:
        problem(where, "the image item's data is not base64: %s" % error)
        return
    unscaled = "%dx%d capture written to %s" % (result["width"], result["height"], result["path"])
    scaled = re.fullmatch(r"Preview scaled to (\d+)x(\d+); the (\d+)x(\d+) file at (.*) keeps "
                          r"every pixel\.", content[1]["text"])
    if content[1]["text"] == unscaled:
        want = (result["width"], result["height"])
    elif scaled:
        want = (int(scaled.group(1)), int(scaled.group(2)))
    else:
        problem(where, "the summary is of neither form: %r" % content[1]["text"])
        return
    if size != want:
        problem(where, "the preview is %r, the summary says %r" % (size, want))


def check_tool_table(guide, tools):
    rows = re.findall(r"^\| `(\w+)` \| ((?:`\w+`(?:, )?)+) \|$", guide, re.MULTILINE)
    table = {name: set(re.findall(r"`(\w+)`", arguments)) for name, arguments in rows}
    listed = {name: set(schema["properties"]) for name, schema in tools.items()}
    if table != listed:
        problem("the table of tools", "%r, the catalogue has %r" % (table, listed))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--wrapper", default="")
    parser.add_argument("guide")
    options = parser.parse_args()
    global WRAPPER, WINE_SETTINGS
    WRAPPER = shlex.split(options.wrapper)
    if WRAPPER:
        WINE_SETTINGS = prepare_wine(WRAPPER)
    options.binary = os.path.abspath(options.binary)
    with open(options.guide, encoding="utf-8") as handle:
        guide = handle.read()
    tools, _ = catalogue(options.binary, '{"automation_allow_desktop": true}')
    check_tool_table(guide, tools)

    blocks = 0
    for match in re.finditer(r"^```(\w*)\n(.*?)^```$", guide, re.MULTILINE | re.DOTALL):
        language, text = match.group(1), match.group(2)
        where = "%s line %d" % (options.guide, guide.count("\n", 0, match.start()) + 1)
        if language == "toml":
            blocks += 1
            try:
                value = tomllib.loads(text)
            except tomllib.TOMLDecodeError as error:
                problem(where, "not TOML: %s" % error)
                continue
            if not check_host_configs(where, value):
                problem(where, "a TOML example that configures no server")
            continue
        if language != "json":
            continue
        blocks += 1
        try:
            value = json.loads(text)
        except json.JSONDecodeError as error:
            problem(where, "not JSON: %s" % error)
            continue
        if check_host_configs(where, value):
            continue
        if value.get("method") == "tools/call":
            check_tool_call(where, value, tools)
        elif "result" in value and "content" in value.get("result", {}):
            check_reply(where, text, value)
        elif set(value) & SETTINGS_KEYS:
            check_settings(where, text, value, options.binary)
    if blocks == 0:
        problem(options.guide, "no JSON examples")

    for command in re.findall(r"`([^`\n]* mcp add [^`\n]*)`", guide) + re.findall(
            r"^((?:claude|codex|gemini) mcp add .*)$", guide, re.MULTILINE):
        if not command.endswith("vantle-cli mcp"):
            problem("the guide", "%r does not start `vantle-cli mcp`" % command)
    for host, mark in HOSTS.items():
        if host not in guide or mark not in guide:
            problem("the guide", "nothing on connecting %s (%s)" % (host, mark))

    for line in problems:
        print("FAIL " + line)
    if not problems:
        print("ok   %d examples" % blocks)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
