// SPDX-License-Identifier: Apache-2.0
// Debian's Chromium for the tests, through playwright-core; never a downloaded browser.
import { chromium } from 'playwright-core';

export const CHROMIUM = process.env.CHROMIUM ?? '/usr/bin/chromium';

export function launch() {
  return chromium.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu'],
  });
}

/** Where a test leaves what a person may look at (screenshots, downloads). */
export const OUTPUT = process.env.ORVEX_WEB_TEST_OUTPUT ?? new URL('../test-output/', import.meta.url).pathname;
