#!/usr/bin/python3
"""A real hub, a simulated PBX and a headless Chromium: the station's lamp on
the page follows a status report through the live feed, with nothing reloaded,
and shows a SIP phone's subscription as a watcher. The hub asks for a token,
which the page takes from its address. With "https" after the tools, the page
and its live feed come over TLS."""

import shutil
import sys
import time

from hub_process import SKIP, Hub, chromium, pbx_address, sip_tools, watch_station


def main(korvel, send_tool, free_base_port, scheme="http"):
    https = scheme == "https"
    browser = chromium(any_certificate=https)
    if browser is None:
        print("skipped: chromium, chromium-driver or python3-selenium is not installed")
        return SKIP
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    token = "browser-test-token"
    sip_port = sip_tools().free_sip_port()
    with Hub(korvel, send_tool, free_base_port, token=token, tls=https,
             extra=["--sip", f"127.0.0.1:{sip_port}"]) as hub:
        assert hub.url.startswith(scheme + "://"), hub.url
        pbx = pbx_address(hub.base, 2)
        # The PBX's first report registers its stations with the hub.
        hub.send(pbx, "statusreport", "--system-id", "QVX300", "--stations", "41100,41101", "--status", "idle",
                 udp=True)
        try:
            browser.get(hub.url + "?access_token=" + token)
            row = WebDriverWait(browser, 10).until(
                lambda b: b.find_element(By.CSS_SELECTOR, f'#systems tr[data-id] td.address'))
            assert row.text == pbx, row.text
            row.click()
            lamp_selector = '#lamps [data-number="41101"]'
            lamp = WebDriverWait(browser, 10).until(lambda b: b.find_element(By.CSS_SELECTOR, lamp_selector))
            before = lamp.get_attribute("data-state")
            assert before == "0", f"the lamp shows state {before} after the idle report"

            # A mark in the page's own state: a reload would wipe it.
            browser.execute_script("window.korvelTestMark = 1;")
            hub.send(pbx, "statusreport", "--system-id", "QVX300", "--stations", "41101", "--status", "busy",
                     udp=True)
            sent = time.monotonic()
            WebDriverWait(browser, 10, poll_frequency=0.02).until(
                lambda b: b.find_element(By.CSS_SELECTOR, lamp_selector).get_attribute("data-state") == "1")
            took = time.monotonic() - sent
            assert browser.execute_script("return window.korvelTestMark;") == 1, "the page was reloaded"
            lamp = browser.find_element(By.CSS_SELECTOR, lamp_selector)
            assert "i1" in lamp.get_attribute("class").split(), lamp.get_attribute("class")
            assert lamp.get_attribute("title") == "41101: Busy", lamp.get_attribute("title")
            counts = browser.find_element(By.ID, "counts").text
            assert "1 busy" in counts, counts
            print(f"the lamp turned busy {took * 1000:.0f} ms after the report")

            # A phone subscribes to the idle station: its lamp counts one watcher.
            if shutil.which("sipp"):
                watch_station(sip_port, "41100")
                watched = '#lamps [data-number="41100"][data-watchers="1"]'
                lamp = WebDriverWait(browser, 10).until(lambda b: b.find_element(By.CSS_SELECTOR, watched))
                assert lamp.get_attribute("title") == "41100: Idle, 1 SIP watcher", lamp.get_attribute("title")
                assert browser.execute_script("return window.korvelTestMark;") == 1, "the page was reloaded"
            else:
                print("the SIP watcher: skipped, sipp is not installed")
            errors = [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]
            assert not errors, errors
        finally:
            browser.quit()
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:5]))
