#!/usr/bin/python3
"""Takes pictures of the web console in a headless Chromium, with a few
systems, stations in every state, half a minute of traffic and the trace, on
a desktop screen (1440x900) and on a phone (390x844):
scripts/web-screenshot.py OUT.png [PHONE.png] (after `make build`)."""

import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "web"))
from hub_process import Hub, chromium, pbx_address  # noqa: E402


def main(out, phone):
    build = os.path.join(HERE, "..", os.environ.get("BUILD_DIR", "build"))
    tools = [os.path.join(build, path) for path in ("src/app/korvel", "src/cli/korvel-send", "tests/free_base_port")]
    browser = chromium(1440, 900)
    if browser is None:
        sys.exit("web-screenshot: chromium, chromium-driver and python3-selenium are needed")
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    base = int(os.popen(tools[2]).read())
    main_pbx, east, west, branch = (pbx_address(base, host) for host in (2, 3, 4, 5))
    systems = [f"{main_pbx}\t{main_pbx}\t9000\t0\t2\tQVX300-MAIN", f"{east}\t{east}\t9000\t0\t2\tQVX300-EAST",
               f"{west}\t{west}\t9000\t1\t2\tVELKA-WEST", f"{branch}\t{branch}\t9000\t0\t3\tQVX-BRANCH"]
    with Hub(*tools, systems=systems, extra=["--trace"]) as hub:
        def report(sender, system, stations, status):
            hub.send(sender, "statusreport", "--system-id", system, "--stations", ",".join(stations),
                     "--status", status, udp=True)

        numbers = [str(41100 + i) for i in range(48)]
        states = ["idle"] * 5 + ["busy"] * 3 + ["dnd", "idle", "msg", "idle", "oos", "idle", "busy", "255"]
        for i in range(0, len(numbers), 8):
            for j, number in enumerate(numbers[i:i + 8]):
                report(main_pbx, "QVX300-MAIN", [number], states[(i + j) % len(states)])
        report(east, "QVX300-EAST", ["52000", "52001"], "idle")
        report(west, "VELKA-WEST", ["63000"], "busy")

        browser.get(hub.url)
        WebDriverWait(browser, 10).until(lambda b: b.find_elements(By.CSS_SELECTOR, "#systems tr[data-id]"))
        browser.find_element(By.CSS_SELECTOR, "#systems tr[data-id]").click()
        # Half a minute of traffic for the graph, rising and falling, on a
        # few of the stations; the picture is taken while it goes on.
        for second in range(32):
            if second == 31:
                browser.save_screenshot(out)
                browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
                    "width": 390, "height": 844, "deviceScaleFactor": 2, "mobile": True})
                browser.save_screenshot(phone)
            for k in range(1 + (second % 10)):
                report(main_pbx, "QVX300-MAIN", [numbers[(second + k) % 6]], ["busy", "idle"][(second + k) % 2])
            time.sleep(max(0.0, 1.0 - 0.02 * (1 + second % 10)))
        browser.quit()
    print(f"saved {out} and {phone}")


if __name__ == "__main__":
    out = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "web-console.png")
    main(out, os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else out.replace(".png", "-phone.png"))
