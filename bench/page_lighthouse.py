#!/usr/bin/env python3
"""vornctl serve's page as Lighthouse sees it (mobile profile, its default) with
40 simulated devices: the performance score, the layout shift, the console
errors, render-blocking time and the bytes moved. Runs inside a private
network namespace (bench/run.sh); Lighthouse comes from build/npm
(scripts/npm-tools.sh lighthouse).

usage: page_lighthouse.py VORNCTL VORNSIM [--quick]
Environment: VORN_LIGHTHOUSE_REPORTS=DIR keeps each run's whole report there."""

import http.client
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(ROOT, "tools", "testing"))
import processes  # noqa: E402

DEVICES = 40
# bench/run.sh names its own (a baseline's copy of this script runs from elsewhere).
LIGHTHOUSE = os.environ.get("VORN_LIGHTHOUSE") or os.path.join(
    ROOT, "build", "npm", "lighthouse", "node_modules", ".bin", "lighthouse")
CHROME_FLAGS = "--headless=new --no-sandbox --disable-gpu --disable-dev-shm-usage"


def listed(port, token):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    connection.request("GET", "/api/devices", headers={"Authorization": f"Bearer {token}"})
    devices = json.loads(connection.getresponse().read())["devices"]
    connection.close()
    return devices


def lighthouse(url, token, work):
    report = os.path.join(work, "report.json")
    env = dict(os.environ, CHROME_PATH="/usr/bin/chromium", HOME=work)
    subprocess.run([LIGHTHOUSE, url, f"--chrome-flags={CHROME_FLAGS}",
                    "--extra-headers", json.dumps({"Authorization": f"Bearer {token}"}),
                    "--only-categories=performance,accessibility,best-practices",
                    "--output=json", f"--output-path={report}", "--quiet"],
                   env=env, check=True, timeout=300, stdout=subprocess.DEVNULL)
    with open(report) as file:
        data = json.load(file)
    keep = os.environ.get("VORN_LIGHTHOUSE_REPORTS")  # a folder for the whole reports
    if keep:
        os.makedirs(keep, exist_ok=True)
        shutil.copy(report, os.path.join(keep, f"lighthouse-{time.strftime('%H%M%S')}.json"))
    audits = data["audits"]
    # With some Chromium versions the trace lacks what this audit reads: then it has an
    # errorMessage and no figure (printed as "n/a").
    blocking = audits["render-blocking-resources"]

    def numeric(name):
        return audits[name].get("numericValue") or 0

    console = audits["errors-in-console"].get("details", {}).get("items", [])
    return {
        "performance": data["categories"]["performance"]["score"],
        "accessibility": data["categories"]["accessibility"]["score"],
        "best-practices": data["categories"]["best-practices"]["score"],
        "cls": numeric("cumulative-layout-shift"),
        "console": [item.get("description", "") for item in console],
        "blocking": None if blocking.get("errorMessage") else blocking.get("details", {}).get(
            "overallSavingsMs", 0),
        # "notApplicable" when nothing was found to compress.
        "compression": audits["uses-text-compression"].get("scoreDisplayMode") == "notApplicable"
        or audits["uses-text-compression"].get("score") == 1,
        "bytes": numeric("total-byte-weight"),
        "fcp": numeric("first-contentful-paint"),
        "lcp": numeric("largest-contentful-paint"),
    }


def milliseconds(value):
    return "n/a" if value is None else f"{value:.0f} ms"


def main():
    if len(sys.argv) not in (3, 4):
        print(__doc__, file=sys.stderr)
        return 2
    vornctl, vornsim = sys.argv[1:3]
    runs = 1 if len(sys.argv) == 4 and sys.argv[3] == "--quick" else 3
    if not os.path.exists(LIGHTHOUSE):
        print(f"{LIGHTHOUSE} is missing: run scripts/npm-tools.sh lighthouse", file=sys.stderr)
        return 1
    work = tempfile.mkdtemp(prefix="vorn-lighthouse-")
    sim = processes.simulator(vornsim, [], ["--devices", str(DEVICES), "--quiet", "--interval",
                                            "1000"])
    serve = processes.Program([vornctl, "--interface", "127.0.0.1", "serve", "--listen",
                               "127.0.0.1:0"], env=processes.environment())
    try:
        line = serve.next_line(30) or ""
        match = re.fullmatch(r"serving (http://127\.0\.0\.1:(\d+))/\?token=(\S+)", line)
        if not match:
            raise RuntimeError(f"vornctl serve printed {line!r}: {serve.errors}")
        origin, port, token = match.group(1), int(match.group(2)), match.group(3)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            devices = listed(port, token)
            if len(devices) == DEVICES and all(d["name"] is not None for d in devices):
                break
            time.sleep(0.2)
        else:
            raise RuntimeError(f"only {len(devices)} devices listed and named")
        results = []
        for run in range(runs):
            result = lighthouse(origin + "/", token, work)
            results.append(result)
            print(f"run {run + 1}: performance {result['performance']:.2f}, "
                  f"accessibility {result['accessibility']:.2f}, best practices "
                  f"{result['best-practices']:.2f}, CLS {result['cls']:.3f}, "
                  f"FCP {result['fcp']:.0f} ms, LCP {result['lcp']:.0f} ms, "
                  f"render-blocking {milliseconds(result['blocking'])}, "
                  f"text compression {'passed' if result['compression'] else 'failed'}, "
                  f"{result['bytes'] / 1024:.1f} KiB, console errors {result['console']}",
                  flush=True)

        def median(key):
            return statistics.median(result[key] for result in results)
        errors = max(len(result["console"]) for result in results)
        blocking = [result["blocking"] for result in results if result["blocking"] is not None]
        print(f"summary page: performance {median('performance'):.2f}, CLS {median('cls'):.3f}, "
              f"{errors} console errors, FCP {median('fcp'):.0f} ms, LCP {median('lcp'):.0f} ms, "
              f"render-blocking {milliseconds(statistics.median(blocking) if blocking else None)}, "
              f"{median('bytes') / 1024:.1f} KiB moved, {DEVICES} devices")
        return 0
    finally:
        serve.process.terminate()
        serve.finish(30)
        processes.stop_simulator(sim)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
