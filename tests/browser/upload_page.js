#!/usr/bin/env node
// Drives the upload page of parcel-host serve in headless Chromium, as a
// person would: fill in the folder, pick files, press Pack, wait for the
// archive link and click it. Prints one JSON line: the page's status text,
// the link and where the downloaded archive was saved. Checking the archive
// is the caller's work.
//
// usage: node upload_page.js --url URL [--path TEXT] --downloads DIR FILE...
// playwright-core is found through NODE_PATH; the browser is /usr/bin/chromium
// unless PARCEL_CHROMIUM names another.
"use strict";
const fs = require("fs");
const os = require("os");
const path = require("path");
const { chromium } = require("playwright-core");

function parseArguments(argv) {
  const options = { files: [] };
  for (let i = 0; i < argv.length; ++i) {
    const word = argv[i];
    if (word === "--url" || word === "--path" || word === "--downloads") {
      options[word.slice(2)] = argv[++i];
    } else {
      options.files.push(word);
    }
  }
  if (!options.url || !options.downloads || options.files.length === 0) {
    throw new Error("usage: upload_page.js --url URL [--path TEXT] --downloads DIR FILE...");
  }
  return options;
}

async function main() {
  const options = parseArguments(process.argv.slice(2));
  fs.mkdirSync(options.downloads, { recursive: true });
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "parcel-chromium-"));
  try {
    await packInBrowser(options, profile);
  } finally {
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

async function packInBrowser(options, profile) {
  // A persistent context on a fresh profile directory: nothing of an earlier
  // run or of the machine's own profile is seen.
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.PARCEL_CHROMIUM || "/usr/bin/chromium",
    headless: true,
    timeout: 60000,
    acceptDownloads: true,
    args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
           "--disable-component-update", "--disable-sync"],
  });
  try {
    const page = await context.newPage();
    page.setDefaultTimeout(60000);
    await page.goto(options.url);
    if (options.path) await page.fill("#path", options.path);
    await page.setInputFiles("#files", options.files);
    await page.click("#pack");
    const link = page.locator("#download");
    await link.waitFor({ state: "visible" });
    const [download] = await Promise.all([page.waitForEvent("download"), link.click()]);
    const failure = await download.failure();
    if (failure) throw new Error("the download failed: " + failure);
    const saved = path.join(options.downloads, download.suggestedFilename());
    await download.saveAs(saved);
    console.log(JSON.stringify({
      status: await page.locator("#status").textContent(),
      href: await link.getAttribute("href"),
      saved,
    }));
  } finally {
    await context.close();
  }
}

main().catch((error) => {
  console.error(error && error.stack ? error.stack : String(error));
  process.exit(1);
});
