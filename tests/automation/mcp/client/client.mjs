// Drives `vantle-cli mcp` the way an MCP client application does: through the
// official TypeScript SDK's stdio client transport. It connects (initialize),
// lists the tools and compiles every input schema with ajv, calls each tool's
// refusals, then captures one window and records it for a moment.
//
//   node client.mjs --binary PATH --window TITLE [--env NAME=VALUE]...
//                   [--workdir DIR] [--fake-encoder] [--wrapper PROGRAM]
//
// --window names a window the program can see, by its exact title. --env adds
// to the server's environment, which is otherwise PATH plus HOME,
// XDG_CONFIG_HOME and XDG_PICTURES_DIR set to the work folder (a new
// temporary folder unless --workdir names one), so the user's settings never
// take part. --fake-encoder expects the stand-in files of vantle-cli-fake's
// encoder instead of MP4s.
//
// --wrapper starts the server through a program, scripts/wine-run for the
// Windows build: the host spawns `wine-run vantle-cli.exe mcp`, as a Windows
// host spawns `vantle-cli.exe mcp`. The wrapper's own variables (VANTLE_WINE*)
// pass through to it. The files are then named to the server as Windows names
// them, Z:\ standing for the host's root, so the paths in its replies are the
// Windows forms of the host's and are mapped back to check the files. Under
// Wine the settings file is in the prefix's roaming application data, which
// the test's prefix keeps free of one.
//
// ctest runs it against vantle-cli-fake on a scripted desktop. To run the same
// client against the real X11 program, with an Xvfb display (:99 here) that
// shows a window titled "Client Test", after ctest has installed the packages:
//
//   node build/debug/mcp-client/client.mjs --binary build/debug/cli/vantle-cli \
//     --env DISPLAY=:99 --window "Client Test"
//
// Prints one line per check and ends with status 0 when all passed, 1 at the
// first failure.

import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import Ajv from "ajv";
import { mkdtempSync, readFileSync, existsSync, readdirSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join, resolve } from "node:path";
import { inflateSync } from "node:zlib";

function parseArguments(argv) {
  const options = { env: {}, fakeEncoder: false };
  for (let i = 0; i < argv.length; ++i) {
    const name = argv[i];
    const value = () => {
      if (i + 1 >= argv.length) fail(`${name} needs a value`);
      return argv[++i];
    };
    if (name === "--binary") options.binary = value();
    else if (name === "--window") options.window = value();
    else if (name === "--workdir") options.workdir = value();
    else if (name === "--fake-encoder") options.fakeEncoder = true;
    else if (name === "--wrapper") options.wrapper = resolve(value());
    else if (name === "--env") {
      const pair = value();
      const equals = pair.indexOf("=");
      if (equals <= 0) fail(`--env takes NAME=VALUE, not ${pair}`);
      options.env[pair.slice(0, equals)] = pair.slice(equals + 1);
    } else fail(`unknown argument ${name}`);
  }
  if (!options.binary || !options.window) fail("--binary and --window are required");
  // The server starts in the work folder.
  options.binary = resolve(options.binary);
  return options;
}

function fail(message) {
  console.log(`FAIL ${message}`);
  process.exit(1);
}

function check(condition, message) {
  if (!condition) fail(message);
}

function same(got, want, what) {
  const a = JSON.stringify(got);
  const b = JSON.stringify(want);
  check(a === b, `${what}:\n  got  ${a}\n  want ${b}`);
}

function ok(message) {
  console.log(`ok   ${message}`);
}

// Width and height of a whole 8-bit RGBA PNG; fails on anything less.
function pngSize(bytes, what) {
  const signature = Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]);
  check(bytes.subarray(0, 8).equals(signature), `${what}: no PNG signature`);
  let pos = 8;
  let header = null;
  const data = [];
  let ended = false;
  while (pos + 12 <= bytes.length) {
    const length = bytes.readUInt32BE(pos);
    const kind = bytes.toString("latin1", pos + 4, pos + 8);
    const body = bytes.subarray(pos + 8, pos + 8 + length);
    if (kind === "IHDR") header = body;
    else if (kind === "IDAT") data.push(body);
    else if (kind === "IEND") ended = pos + 12 + length === bytes.length;
    pos += 12 + length;
  }
  check(header !== null && ended, `${what}: no IHDR or no final IEND`);
  const width = header.readUInt32BE(0);
  const height = header.readUInt32BE(4);
  check(header[8] === 8 && header[9] === 6, `${what}: not 8-bit RGBA`);
  const rows = inflateSync(Buffer.concat(data));
  check(rows.length === height * (1 + 4 * width), `${what}: the image data lacks rows`);
  return { width, height };
}

// The preview rule: the longer side at most 1568, the other to the nearest pixel.
function previewSize(width, height) {
  const longer = Math.max(width, height);
  if (longer <= 1568) return { width, height };
  const factor = 1568 / longer;
  return {
    width: Math.max(1, Math.round(width * factor)),
    height: Math.max(1, Math.round(height * factor)),
  };
}

// The name the server is given for a host file, and the host file a name in
// its reply stands for. Windows names the host's root Z:\ under Wine, with
// backslashes; elsewhere both are the host's path.
function serverPath(host) {
  return options.wrapper ? `Z:${host.replaceAll("/", "\\")}` : host;
}

function hostPath(name, what) {
  if (!options.wrapper) return name;
  check(typeof name === "string" && /^Z:\\[^/]*$/.test(name),
        `${what}: ${JSON.stringify(name)} is no Windows path on drive Z:`);
  return name.slice(2).replaceAll("\\", "/");
}

function textOf(result, what) {
  check(Array.isArray(result.content) && result.content.length === 1, `${what}: one item`);
  check(result.content[0].type === "text", `${what}: a text item`);
  return result.content[0].text;
}

const options = parseArguments(process.argv.slice(2));
const workdir = options.workdir ?? mkdtempSync(join(tmpdir(), "vantle-mcp-client-"));
const env = {
  PATH: process.env.PATH ?? "/usr/bin:/bin",
  HOME: workdir,
  XDG_CONFIG_HOME: workdir,
  XDG_PICTURES_DIR: join(workdir, "Pictures"),
  ...(options.wrapper ? Object.fromEntries(Object.entries(process.env).filter(
    ([name]) => name.startsWith("VANTLE_WINE"))) : {}),
  ...options.env,
};

const transport = new StdioClientTransport({
  command: options.wrapper ?? options.binary,
  args: options.wrapper ? [options.binary, "mcp"] : ["mcp"],
  env,
  cwd: workdir,
  stderr: "pipe",
});
let stderr = "";
transport.stderr.on("data", (chunk) => (stderr += chunk.toString()));
const client = new Client({ name: "vantle-client-test", version: "1.0.0" });

try {
  await client.connect(transport);
} catch (error) {
  fail(`initialize: ${error.message}\nstandard error: ${stderr}`);
}
// The SDK keeps the child to itself; its exit status is looked at after closing.
const child = transport._process;
same(client.getServerVersion(), { name: "vantle", title: "Vantle", version: "0.3.0" }, "server info");
same(client.getServerCapabilities(), { tools: { listChanged: false } }, "capabilities");
check(client.getInstructions()?.startsWith("Vantle captures and records windows"), "instructions");
ok("initialize");

same(await client.ping(), {}, "ping");
ok("ping");

const { tools } = await client.listTools();
same(tools.map((tool) => tool.name), ["list_windows", "capture", "record_start", "record_stop"],
     "tool names");
const ajv = new Ajv({ strict: true, allErrors: true });
const validators = {};
for (const tool of tools) {
  try {
    validators[tool.name] = ajv.compile(tool.inputSchema);
  } catch (error) {
    fail(`the input schema of ${tool.name} does not compile: ${error.message}`);
  }
}
const schemaCases = [
  ["list_windows", {}, true],
  ["list_windows", { title_contains: "a", process: "b.exe" }, true],
  ["list_windows", { title: "a" }, false],
  ["capture", { window: "a", out: "/tmp/a.png", delay_ms: 5, cursor: true, restore: false }, true],
  ["capture", {}, false],
  ["capture", { window: "a", delay_ms: -1 }, false],
  ["capture", { monitor: 0 }, false],
  ["record_start", { window: "a", fps: 60, max_seconds: 0.5 }, true],
  ["record_start", { window: "a", fps: 61 }, false],
  ["record_start", { window: "a", max_seconds: 0 }, false],
  ["record_stop", { id: "1-1" }, true],
  ["record_stop", {}, false],
];
for (const [name, args, valid] of schemaCases) {
  check(validators[name](args) === valid,
        `${name} schema on ${JSON.stringify(args)}: want ${valid ? "valid" : "invalid"}`);
}
ok("tools/list: four tools whose schemas compile and judge arguments as documented");

const desktopOff =
  "Capturing a whole monitor or a region is off in Vantle's settings (Automation: " +
  "\"Let automation capture the whole desktop\"). Name a window instead; list_windows shows them.";
const refusals = [
  ["capture", {}, "Name a window by its exact title (list_windows shows them)."],
  ["capture", { window: "" }, "The window title is empty."],
  ["capture", { window: "a", monitor: 0 }, "Give one target: window, monitor or region."],
  ["capture", { monitor: 0 }, desktopOff],
  ["capture", { region: { x: 0, y: 0, width: 1, height: 1 } }, desktopOff],
  ["capture", { window: "a", out: "a.PNG" }, "the output file must end in .png: `a.PNG`"],
  ["record_start", { window: "a", out: "a.png" }, "the output file must end in .mp4: `a.png`"],
  ["record_start", { window: "a", out: "a.mp4", fps: 0 }, "fps is 1 to 60"],
  ["record_start", { window: "a", out: "a.mp4", max_seconds: -1 }, "max_seconds is a positive number"],
  ["record_stop", {}, "record_stop needs the id record_start returned"],
  ["record_stop", { id: 7 }, "record_stop needs the id record_start returned"],
  ["record_stop", { id: "0-0" }, "no recording 0-0 is running here"],
];
for (const [name, args, message] of refusals) {
  const result = await client.callTool({ name, arguments: args });
  same(result, { content: [{ type: "text", text: message }], isError: true },
       `${name} ${JSON.stringify(args)}`);
}
try {
  await client.callTool({ name: "screenshot", arguments: {} });
  fail("an unknown tool was answered");
} catch (error) {
  check(error.code === -32602 && error.message.includes("unknown tool: screenshot"),
        `unknown tool: ${error.code} ${error.message}`);
}
ok("refusals: each tool's, as tool results with isError; an unknown tool as -32602");

const listing = JSON.parse(textOf(await client.callTool({ name: "list_windows", arguments: {} }),
                                  "list_windows"));
check(Array.isArray(listing.monitors) && Array.isArray(listing.windows), "listing shape");
const matches = listing.windows.filter((window) => window.title === options.window);
check(matches.length === 1, `want one window titled ${options.window}, found ${matches.length}`);
const filtered = JSON.parse(textOf(await client.callTool({
  name: "list_windows", arguments: { title_contains: options.window.toUpperCase() } }), "filter"));
check(filtered.windows.some((window) => window.title === options.window), "title filter");
same(filtered.monitors, listing.monitors, "monitors are never filtered");
ok(`list_windows: "${options.window}" is there`);

const shot = serverPath(join(workdir, "client shot été.png"));
const captured = await client.callTool({ name: "capture",
                                         arguments: { window: options.window, out: shot } });
check(!captured.isError, `capture failed: ${JSON.stringify(captured.content)}`);
check(captured.content.length === 3, "capture gives three items");
const [resultItem, summaryItem, imageItem] = captured.content;
const capture = JSON.parse(resultItem.text);
same(capture.path, shot, "capture path");
same(capture.target.title, options.window, "capture target");
same(pngSize(readFileSync(hostPath(capture.path, "capture path")), "the file"),
     { width: capture.width, height: capture.height }, "file size");
const preview = previewSize(capture.width, capture.height);
same(imageItem.type, "image", "image item type");
same(imageItem.mimeType, "image/png", "image item mime type");
same(pngSize(Buffer.from(imageItem.data, "base64"), "the preview"), preview, "preview size");
const summary = preview.width === capture.width && preview.height === capture.height
  ? `${capture.width}x${capture.height} capture written to ${shot}`
  : `Preview scaled to ${preview.width}x${preview.height}; the ${capture.width}x${capture.height}` +
    ` file at ${shot} keeps every pixel.`;
same(summaryItem, { type: "text", text: summary }, "summary");
ok(`capture: ${capture.width}x${capture.height} file, ${preview.width}x${preview.height} preview`);

const clip = serverPath(join(workdir, "client clip été.mp4"));
const started = await client.callTool({ name: "record_start",
                                        arguments: { window: options.window, out: clip, fps: 10 } });
check(!started.isError, `record_start failed: ${JSON.stringify(started.content)}`);
const notice = JSON.parse(textOf(started, "record_start"));
check(notice.event === "started" && /^[0-9]+-[0-9]+$/.test(notice.id) && notice.path === clip,
      `started notice ${JSON.stringify(notice)}`);
// Other calls go on while it records.
const during = await client.callTool({ name: "list_windows", arguments: {} });
check(!during.isError, "list_windows while recording");
await new Promise((resolve) => setTimeout(resolve, 500));
const stopped = await client.callTool({ name: "record_stop", arguments: { id: notice.id } });
check(!stopped.isError, `record_stop failed: ${JSON.stringify(stopped.content)}`);
const record = JSON.parse(textOf(stopped, "record_stop"));
check(record.id === notice.id && record.path === clip && record.frames >= 1, "record result");
check(record.width % 2 === 0 && record.height % 2 === 0, "the video's size is even");
check(record.seconds === Math.round((record.frames / 10) * 1000) / 1000, "seconds = frames / fps");
const video = readFileSync(hostPath(record.path, "record path"));
if (options.fakeEncoder) {
  const match = /^fake-mp4\n(f*)\nfinished\n$/.exec(video.toString("latin1"));
  check(match !== null, "the stand-in file is finished");
  check(match[1].length === record.frames, "one stand-in byte per frame");
} else {
  check(video.toString("latin1", 4, 8) === "ftyp", "the file is an MP4");
}
check(!existsSync(`${hostPath(clip, "clip")}.vantle-tmp`), "no temporary file is left");
same(await client.callTool({ name: "record_stop", arguments: { id: notice.id } }),
     { content: [{ type: "text", text: `no recording ${notice.id} is running here` }],
       isError: true }, "a second record_stop");
ok(`record_start, record_stop: ${record.frames} frames of ${record.width}x${record.height}`);

// A recording still running when the client goes is finished all the same.
const last = join(workdir, "client last été.mp4");
const lastStart = await client.callTool({
  name: "record_start", arguments: { window: options.window, out: serverPath(last) } });
check(!lastStart.isError, `record_start failed: ${JSON.stringify(lastStart.content)}`);
same(JSON.parse(textOf(lastStart, "record_start")).path, serverPath(last),
     "the last notice's path");
await client.close();
check(child.exitCode === 0, `the server ended with ${child.exitCode} (signal ${child.signalCode})`);
check(existsSync(last) && !existsSync(`${last}.vantle-tmp`), "the last recording is finished");
same(readdirSync(workdir).filter((name) => name.endsWith(".vantle-tmp")), [], "temporary files");
check(stderr === "", `standard error: ${stderr}`);
ok("closing the input ends the server with 0 after finishing its recording");
// A failure leaves the work folder for a look; a pass leaves nothing behind.
if (!options.workdir) rmSync(workdir, { recursive: true });
