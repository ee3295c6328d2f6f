#!/usr/bin/python3
"""The page as an operator uses it, in a headless Chromium with a real hub:
finding a system by name, System ID or address; sorting the list by a column
and finding the order again after a reload; moving through the list by
keyboard; on a phone the columns that matter, no sideways scroll and panels no
higher than what they hold; and no serious or critical finding of the axe-core
accessibility audit. With KORVEL_WEB_SCREENSHOTS set, the page at each size is
saved in that folder."""

import json
import os
import sys

from hub_process import SKIP, Hub, chromium, pbx_address

AXE = "/usr/local/lib/korvel-test/node_modules/axe-core/axe.min.js"  # scripts/install-deps.sh


def main(korvel, send_tool, free_base_port):
    if not os.path.exists(AXE):
        print(f"skipped: {AXE} is missing (scripts/install-deps.sh installs it)")
        return SKIP
    browser = chromium(1440, 900)
    if browser is None:
        print("skipped: chromium, chromium-driver or python3-selenium is not installed")
        return SKIP
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait

    base = int(os.popen(free_base_port).read())
    # Host parts chosen so that the address order differs from the text order
    # (.10 after .9) and from the list order; the last was added by hand and
    # has no name yet.
    hosts = {"QVX300-MAIN": 9, "QVX300-EAST": 10, "VELKA-WEST": 3, "": 4}
    address = {name: pbx_address(base, host) for name, host in hosts.items()}
    systems = [f"{address[name]}\t{address[name]}\t9000\t0\t2\t{name}" for name in hosts]
    with Hub(korvel, send_tool, free_base_port, systems=systems) as hub:
        # The main system reports and becomes Working, with stations.
        hub.send(address["QVX300-MAIN"], "statusreport", "--system-id", "QVX300-MAIN", "--stations",
                 "41100,41101", "--status", "busy", udp=True)
        try:
            wait = WebDriverWait(browser, 10)

            def shown_rows():
                return browser.execute_script(
                    "return [...document.querySelectorAll('#systems tbody tr[data-id]')]"
                    ".map(tr => tr.querySelector('td.name').textContent)")

            def load():
                browser.get(hub.url)
                wait.until(lambda b: len(shown_rows()) == 4)

            load()
            # Status: the one that reported is Working; the Name column shows the address of the unnamed one.
            wait.until(lambda b: "Working 1" in b.find_element(By.ID, "summary").text)
            unnamed = browser.find_element(By.CSS_SELECTOR, "#systems td.name.unnamed")
            assert unnamed.text == address[""], unnamed.text

            search = browser.find_element(By.ID, "system-search")
            for typed, expected in [("east", ["QVX300-EAST"]), ("qvx300", ["QVX300-MAIN", "QVX300-EAST"]),
                                    (address["VELKA-WEST"], ["VELKA-WEST"]), ("no such system", [])]:
                search.clear()
                search.send_keys(typed)
                found = shown_rows()
                assert sorted(found) == sorted(expected), (typed, found)
            assert browser.find_element(By.ID, "system-count").text == "(0 of 4)"
            assert browser.find_element(By.ID, "no-systems").text == "No system matches the search."
            search.clear()
            search.send_keys(" ")
            search.send_keys(Keys.BACKSPACE)
            wait.until(lambda b: len(shown_rows()) == 4)

            by_address = ["VELKA-WEST", address[""], "QVX300-MAIN", "QVX300-EAST"]
            header = {key: browser.find_element(By.CSS_SELECTOR, f'th[data-sort="{key}"] button')
                      for key in ("name", "address", "status", "heard")}
            for key, expected in [("address", by_address), ("address", by_address[::-1]),
                                  ("name", sorted(shown_rows())),
                                  ("status", None)]:
                header[key].click()
                found = shown_rows()
                if expected is not None:
                    assert found == expected, (key, found)
            # Status sorts problems first: the only Working system comes last.
            assert shown_rows()[-1] == "QVX300-MAIN", shown_rows()
            assert header["status"].find_element(By.XPATH, "..").get_attribute("aria-sort") == "ascending"
            header["address"].click()
            header["address"].click()
            load()
            assert shown_rows() == by_address[::-1], shown_rows()
            assert browser.find_element(By.CSS_SELECTOR, 'th[data-sort="address"]').get_attribute(
                "aria-sort") == "descending"

            # By keyboard: from the search box, Tab reaches the list's one tab stop; the
            # arrows move, skipping rows the search hides; Enter selects.
            search = browser.find_element(By.ID, "system-search")
            search.send_keys("qvx")
            search.click()
            for _ in range(10):
                browser.switch_to.active_element.send_keys(Keys.TAB)
                if browser.execute_script("return document.activeElement.matches('#systems tbody tr')"):
                    break
            focused = browser.switch_to.active_element
            assert focused.find_element(By.CSS_SELECTOR, "td.name").text == "QVX300-EAST", focused.text
            focused.send_keys(Keys.ARROW_DOWN)
            focused = browser.switch_to.active_element
            assert focused.find_element(By.CSS_SELECTOR, "td.name").text == "QVX300-MAIN", focused.text
            outline = browser.execute_script("return getComputedStyle(document.activeElement).outlineStyle")
            assert outline not in ("none", ""), outline
            focused.send_keys(Keys.ENTER)
            wait.until(lambda b: b.find_elements(By.CSS_SELECTOR, '#lamps [data-number="41101"]'))
            assert focused.get_attribute("aria-selected") == "true"
            assert browser.find_element(By.ID, "station-title").text == "QVX300-MAIN: 2 stations"
            lamp = browser.find_element(By.CSS_SELECTOR, '#lamps [data-number="41101"]')
            assert lamp.get_attribute("aria-label") == "41101: Busy", lamp.get_attribute("aria-label")
            focused.send_keys(Keys.ARROW_UP)
            assert browser.switch_to.active_element.get_attribute("tabindex") == "0"
            assert focused.get_attribute("tabindex") is None, "two rows are tab stops"

            search.clear()
            search.send_keys(" ")
            search.send_keys(Keys.BACKSPACE)
            wait.until(lambda b: len(shown_rows()) == 4)
            for width, height, mobile in [(1440, 900, False), (390, 844, True)]:
                browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
                    "width": width, "height": height, "deviceScaleFactor": 1, "mobile": mobile})
                layout = browser.execute_script("""
                    const panels = [...document.querySelectorAll('.panel')].map(p => p.getBoundingClientRect());
                    const scroller = document.querySelector('#systems-panel .scroll');
                    const rows = [...document.querySelectorAll('#systems tbody tr[data-id]')];
                    const lastRow = rows[rows.length - 1].getBoundingClientRect();
                    return { page: document.documentElement.scrollWidth, view: window.innerWidth,
                             right: Math.max(...panels.map(r => r.right)),
                             columns: new Set(panels.map(r => Math.round(r.left))).size,
                             tableScrolls: scroller.scrollWidth > scroller.clientWidth,
                             headings: [...document.querySelectorAll('#systems th')].filter(th => th.offsetWidth)
                               .map(th => th.textContent),
                             emptyBelowRows: panels[0].bottom - lastRow.bottom,
                             // What shows under each name, and what should: the address unless it is the name.
                             underNames: rows.map(tr => [getComputedStyle(tr.cells[0], '::after').content,
                               tr.cells[0].classList.contains('unnamed') ? 'none' : `"${tr.cells[1].textContent}"`]) };""")
                assert layout["page"] <= layout["view"] and layout["right"] <= width, (width, layout)
                assert layout["columns"] == (1 if mobile else 2), (width, layout)
                assert not layout["tableScrolls"], (width, layout)
                if mobile:
                    # Name and status, the address under the name; the panel no higher than its rows.
                    assert layout["headings"] == ["Name", "Status"], layout
                    assert layout["emptyBelowRows"] < 30, layout
                    assert all(shown == wanted for shown, wanted in layout["underNames"]), layout
                else:
                    assert len(layout["headings"]) == 7, layout
                    assert all(shown == "none" for shown, _ in layout["underNames"]), layout
                if os.environ.get("KORVEL_WEB_SCREENSHOTS"):
                    shot = os.path.join(os.environ["KORVEL_WEB_SCREENSHOTS"], f"web-{width}x{height}.png")
                    browser.save_screenshot(shot)
                    print("saved", shot)
                audit(browser, width)
            errors = [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]
            assert not errors, errors
        finally:
            browser.quit()
    return 0


def audit(browser, width):
    """axe-core inside the page; serious and critical findings fail the test."""
    with open(AXE) as source:
        browser.execute_script(source.read())
    found = browser.execute_async_script("""
        const done = arguments[arguments.length - 1];
        axe.run(document, { resultTypes: ['violations'] })
          .then((result) => done(result.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical')
            .map((v) => ({ id: v.id, impact: v.impact, nodes: v.nodes.slice(0, 3).map((n) => n.target.join(' ')) }))))
          .catch((error) => done([{ id: 'axe failed', impact: String(error) }]));""")
    assert not found, f"accessibility at {width} px wide: " + json.dumps(found, indent=1)


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
