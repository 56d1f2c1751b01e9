"""The page at / in headless Chromium from Debian, asking the offline demo's questions."""

import os
import shutil

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import WebDriverWait

from support.serve_process import ServeProcess

CHROMEDRIVER = "/usr/bin/chromedriver"
ARTIFACTS = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, os.pardir, "build")

pytestmark = pytest.mark.skipif(
    not (os.path.exists(CHROMEDRIVER) and shutil.which("chromium")),
    reason="Debian's chromium and chromium-driver are not installed (scripts/install-deps.sh)",
)

QUESTIONS = [
    ("Which five customers spent the most, and how much did each spend?", "customer"),
    ("How much revenue did each product category bring in?", "category"),
]


@pytest.fixture
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage"):
        options.add_argument(argument)
    options.add_argument("--window-size=1280,1400")
    # The driver Debian installs, named outright, so that Selenium never fetches one.
    driver = webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)
    yield driver
    driver.quit()


@pytest.mark.timeout(240)
def test_page_shows_progress_answer_sql_rows_plot_usage_and_history(tmp_path, browser):
    server = ServeProcess("--offline", cwd=tmp_path)
    try:
        browser.get(server.url + "/")
        wait = WebDriverWait(browser, 90)
        for number, (question, column) in enumerate(QUESTIONS, start=1):
            box = browser.find_element(By.ID, "question")
            box.clear()
            box.send_keys(question)
            browser.find_element(By.ID, "send").click()
            wait.until(
                lambda driver: len(driver.find_elements(By.CSS_SELECTOR, "#history li")) == number
            )

            steps = [item.text for item in browser.find_elements(By.CSS_SELECTOR, "#steps li.done")]
            assert (
                steps[0].startswith("init_node (") and "final_response_generation_node" in steps[-1]
            )
            assert browser.find_element(By.ID, "outcome").text == "Outcome: answered"
            assert browser.find_element(By.ID, "answer").text
            keywords = browser.find_elements(By.CSS_SELECTOR, "#sql .kw")
            assert "SELECT" in [keyword.text.upper() for keyword in keywords]
            headings = [cell.text for cell in browser.find_elements(By.CSS_SELECTOR, "#rows th")]
            assert any(column in heading for heading in headings), headings
            assert len(browser.find_elements(By.CSS_SELECTOR, "#rows tbody tr")) >= 5
            plot = browser.find_element(By.ID, "plot")
            wait.until(
                lambda driver: driver.execute_script(
                    "const i = arguments[0]; return i.complete && i.naturalWidth > 0;", plot
                )
            )
            assert browser.find_element(By.ID, "usage").text.startswith("Tokens: ")
            assert "$" in browser.find_element(By.ID, "usage").text

        history = [item.text for item in browser.find_elements(By.CSS_SELECTOR, "#history li")]
        assert history == [question for question, _ in QUESTIONS]
        # An earlier question's result comes back when it is chosen.
        browser.find_elements(By.CSS_SELECTOR, "#history li")[0].click()
        wait.until(expected_conditions.text_to_be_present_in_element((By.ID, "rows"), "customer"))
        assert "category" not in browser.find_element(By.ID, "rows").text
        os.makedirs(ARTIFACTS, exist_ok=True)
        assert browser.save_screenshot(os.path.join(ARTIFACTS, "serve-page.png"))
        assert browser.find_element(By.ID, "error").text == ""
    finally:
        assert server.stop() == 0
