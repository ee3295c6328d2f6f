#!/usr/bin/python3
"""The page's commands in a headless Chromium against a real hub: opened with
the admin token it adds a system through its form, lists it, deletes it from
its row and initializes the table behind a confirmation naming the count;
opened with the read token it shows no commands at all."""

import sys

from hub_process import SKIP, Hub, chromium, pbx_address

ADMIN = "admin-token-for-the-page"
READ = "read-token-for-the-page"


def main(korvel, send_tool, free_base_port):
    browser = chromium()
    if browser is None:
        print("skipped: chromium, chromium-driver or python3-selenium is not installed")
        return SKIP
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    # Read in one script: rows come and go under the live feed.
    def rows():
        return browser.execute_script(
            "return [...document.querySelectorAll('#systems tbody tr[data-id] td.address')].map(td => td.textContent)")

    def row(address):
        return browser.execute_script(
            "return [...document.querySelectorAll('#systems tbody tr[data-id]')]"
            ".find(tr => tr.querySelector('td.address').textContent === arguments[0])", address)

    with Hub(korvel, send_tool, free_base_port, token=READ, admin_token=ADMIN) as hub:
        first = pbx_address(hub.base, 2)
        added = pbx_address(hub.base, 3)
        hub.request("POST", "/api/systems", {"address": first}, token=ADMIN)
        try:
            browser.get(hub.url + "?access_token=" + ADMIN)
            WebDriverWait(browser, 10).until(lambda b: b.find_element(By.ID, "commands").is_displayed())
            WebDriverWait(browser, 10).until(lambda b: first in rows())
            browser.find_element(By.ID, "add-address").send_keys(added)
            browser.find_element(By.ID, "add-name").send_keys("From the page")
            browser.find_element(By.CSS_SELECTOR, "#add-form button[type=submit]").click()
            WebDriverWait(browser, 5).until(lambda b: added in rows())
            assert row(added).find_element(By.CSS_SELECTOR, "td.name").text == "From the page"

            row(added).find_element(By.CSS_SELECTOR, "button.delete").click()
            WebDriverWait(browser, 5).until(lambda b: added not in rows())
            assert added not in hub.get("/api/systems")

            # A refusal is shown, not swallowed.
            browser.find_element(By.ID, "add-address").send_keys("127.0.0.01")
            browser.find_element(By.CSS_SELECTOR, "#add-form button[type=submit]").click()
            WebDriverWait(browser, 5).until(
                lambda b: "leading zeros" in b.find_element(By.ID, "command-note").text)

            browser.find_element(By.ID, "initialize").click()
            confirm = browser.find_element(By.ID, "initialize-yes")
            assert confirm.text == "Delete all 1 systems", confirm.text
            confirm.click()
            WebDriverWait(browser, 5).until(lambda b: not rows())
            assert '"systems":[]' in hub.get("/api/systems")
            errors = [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"
                      and "400" not in entry["message"]]
            assert not errors, errors

            # The read token: the list, and no command anywhere.
            hub.request("POST", "/api/systems", {"address": first}, token=ADMIN)
            browser.get(hub.url + "?access_token=" + READ)
            WebDriverWait(browser, 10).until(lambda b: first in rows())
            # The page marks when api/whoami has decided about the commands.
            WebDriverWait(browser, 10).until(
                lambda b: b.execute_script("return performance.getEntriesByName('korvel-commands-decided').length"))
            assert not browser.find_element(By.ID, "commands").is_displayed()
            assert not browser.find_elements(By.CSS_SELECTOR, "td.commands, #add-form, button.delete, button.ping")
        finally:
            browser.quit()
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
