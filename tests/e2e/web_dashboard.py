#!/usr/bin/python3
"""The `tolvane web` dashboard in headless Chromium, run by WebTest.cpp in the client's
namespace. It starts and always ends `tolvane web` itself. Exit status 0 when every step held."""
import argparse
import shlex
import signal
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException, WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

URL = 'http://127.0.0.1:65535/'


def step(text):
    print(f'{time.strftime("%H:%M:%S")} {text}', flush=True)


def wait(what, condition, seconds):
    end = time.monotonic() + seconds
    last = None
    while time.monotonic() < end:
        try:
            last = condition()
            if last:
                return last
        except (StaleElementReferenceException, WebDriverException) as error:
            last = error
        time.sleep(0.1)
    raise AssertionError(f'{what}: not within {seconds} s (last: {last!r})')


class Dashboard:
    def __init__(self, command):
        self.command = command
        self.process = None

    def start(self):
        self.log = tempfile.TemporaryFile()
        self.process = subprocess.Popen(self.command, stdout=subprocess.PIPE, stderr=self.log, text=True)
        line = self.process.stdout.readline()
        if 'The dashboard is at' not in line:
            self.log.seek(0)
            raise AssertionError(f'tolvane web did not start: {line!r} {self.log.read()!r}')

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        status = self.process.returncode if self.process else 0
        if status != 0:
            self.log.seek(0)
            sys.stderr.write(self.log.read().decode(errors='replace')[-20000:])
        self.process = None
        return status


def browser(profile):
    options = webdriver.ChromeOptions()
    for flag in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
                 '--disable-component-update', '--disable-sync', '--no-first-run',
                 '--disable-dev-shm-usage', '--window-size=1280,900', f'--user-data-dir={profile}'):
        options.add_argument(flag)
    options.binary_location = '/usr/bin/chromium'
    return webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)


def card(driver, key):
    return driver.find_element(By.CSS_SELECTOR, f'.card[data-key="{key}"]')


def progress(node):
    return int(node.find_element(By.TAG_NAME, 'progress').get_attribute('value'))


def print_model(driver, key, model, layer):
    the_card = card(driver, key)
    the_card.find_element(By.CSS_SELECTOR, '.model-file').send_keys(model)
    Select(the_card.find_element(By.CSS_SELECTOR, '.layer')).select_by_visible_text(layer)
    the_card.find_element(By.CSS_SELECTOR, '.print-button').click()
    message = wait('the page says the print started', lambda: (
        text := card(driver, key).find_element(By.CSS_SELECTOR, '.message').text).startswith('Printing ') and text, 30)
    task = message.split('(task ')[1][:8]
    step(f'print started: {message}')
    return wait('the print shows on the card',
                lambda: card(driver, key).find_element(By.CSS_SELECTOR, f'.task[data-task="{task}"]'), 10), task


def answer_bed(driver, key, task):
    selector = f'.task[data-task="{task}"] .question[data-question="AskClearBed"] button.answer'
    wait('the bed question with its button', lambda: card(driver, key).find_element(By.CSS_SELECTOR, selector), 120).click()
    wait('the bed question goes once answered',
         lambda: not card(driver, key).find_elements(By.CSS_SELECTOR, selector), 15)
    step('answered "is the bed clear?" with its button')


def scenario_print(args, driver, dashboard):
    key = args.key
    driver.get(URL)
    wait('the printer\'s card, connected',
         lambda: card(driver, key).find_element(By.CSS_SELECTOR, '.state').text not in ('', 'not connected'), 60)
    step('the printer\'s card is there: ' + card(driver, key).find_element(By.CSS_SELECTOR, '.card-head').text)

    node, task = print_model(driver, key, args.model, '0.4')
    answer_bed(driver, key, task)
    first = wait('the progress bar moves', lambda: progress(node) > 0 and progress(node), 120)
    # Mid-print the layers are laid down (on a loaded machine the print may end first).
    def laying_or_done():
        if node.find_element(By.CSS_SELECTOR, '.percent').text == 'done':
            return 'done'
        return ('layers' in node.find_element(By.CSS_SELECTOR, '.stages').text
                and 'Layering' in node.find_element(By.CSS_SELECTOR, '.running').text and 'laying')
    if wait('the layers stage', laying_or_done, 240) == 'laying':
        wait('the progress bar advances', lambda: progress(node) > first, 60)
    driver.save_screenshot(args.screenshot)
    step(f'screenshot mid-print at {progress(node) / 10:.0f} %: {args.screenshot}')
    wait('the print completes', lambda: node.find_element(By.CSS_SELECTOR, '.percent').text == 'done', 300)
    step('the print has completed')

    # The page loses the dashboard, says so, and reconnects with fresh cards.
    old_card = card(driver, key)
    assert dashboard.stop() == 0, 'tolvane web did not stop with status 0'
    wait('the page says the connection is lost',
         lambda: driver.find_element(By.ID, 'offline').is_displayed(), 15)
    dashboard.start()
    wait('the page reconnects', lambda: not driver.find_element(By.ID, 'offline').is_displayed(), 30)
    wait('the old card goes', lambda: old_card not in driver.find_elements(By.CSS_SELECTOR, '.card'), 30)
    wait('the card is back', lambda: card(driver, key).find_element(By.CSS_SELECTOR, '.state').text == 'idle', 60)
    step('lost the connection, said so, reconnected')

    node, task = print_model(driver, key, args.model, '0.4')
    answer_bed(driver, key, task)
    wait('the second print runs', lambda: progress(node) > 0, 120)
    node.find_element(By.CSS_SELECTOR, 'button.interrupt').click()
    wait('the second print is interrupted',
         lambda: node.find_element(By.CSS_SELECTOR, '.percent').text == 'interrupted', 180)
    step('interrupted from the page: ' + node.find_element(By.CSS_SELECTOR, '.running').text)


def scenario_farm(args, driver, dashboard):
    driver.get(URL)
    keys = wait(f'{args.printers} cards, connected', lambda: (lambda found: len(found) == args.printers and found)(
        [c.get_attribute('data-key') for c in driver.find_elements(By.CSS_SELECTOR, '.card')
         if c.find_element(By.CSS_SELECTOR, '.state').text not in ('', 'not connected')]), 120)
    for key in keys:
        card(driver, key).find_element(By.CSS_SELECTOR, '.start button[data-type="Maintaining"]').click()
    selector = '.question[data-question="AskClearBed"] button.answer'
    for key in keys:
        wait(f'{key[:8]} asks about the bed', lambda: card(driver, key).find_element(By.CSS_SELECTOR, selector), 120).click()
    for key in keys:
        wait(f'{key[:8]} takes the answer', lambda: not card(driver, key).find_elements(By.CSS_SELECTOR, selector), 15)
    step('a maintenance started on each printer, and each bed question answered')
    seen = {key: card(driver, key).find_element(By.CSS_SELECTOR, '.task').text for key in keys}
    for key in keys:
        wait(f'{key[:8]} updates', lambda: card(driver, key).find_element(By.CSS_SELECTOR, '.task').text != seen[key], 120)
    step('every card updates')


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('scenario', choices=['print', 'farm'])
    parser.add_argument('--tolvane', required=True, help='the tolvane web command line (shell words)')
    for name in ('--key', '--model', '--screenshot'):
        parser.add_argument(name)
    parser.add_argument('--printers', type=int, default=3)
    args = parser.parse_args()
    dashboard = Dashboard(shlex.split(args.tolvane))
    profile = tempfile.mkdtemp(prefix='tolvane-chromium-')
    driver = None
    try:
        dashboard.start()
        driver = browser(profile)
        (scenario_print if args.scenario == 'print' else scenario_farm)(args, driver, dashboard)
        status = dashboard.stop()
        assert status == 0, f'tolvane web ended with status {status}'
        step('all steps held')
        return 0
    except AssertionError as failure:
        print(f'FAILED: {failure}', file=sys.stderr, flush=True)
        if driver:
            print(driver.find_element(By.TAG_NAME, 'body').text, file=sys.stderr)
        return 1
    finally:
        if driver:
            driver.quit()
        dashboard.stop()
        subprocess.run(['rm', '-rf', profile], check=False)


if __name__ == '__main__':
    sys.exit(main())
