// The upload page. Results are shown with textContent only: nothing the
// server or the module answers is ever read as HTML.
#include "host/serve/upload_page.h"

namespace parcel::host {
namespace {

constexpr std::string_view kPage = R"page(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>parcel: pack files into a zip archive</title>
<style>
  body { font-family: system-ui, sans-serif; max-width: 40rem; margin: 2rem auto; padding: 0 1rem; line-height: 1.5; }
  label { display: block; margin: 0.75rem 0 0.25rem; }
  input[type=text] { width: 100%; box-sizing: border-box; }
  button { margin-top: 1rem; padding: 0.4rem 1.2rem; }
  #status { min-height: 1.5em; }
  .failed { color: #a00; }
</style>
</head>
<body>
<h1>Pack files into a zip archive</h1>
<form id="upload" action="/compress" method="post" enctype="multipart/form-data">
  <label for="path">Folder inside the archive (optional)</label>
  <input type="text" id="path" name="path" placeholder="for example reports\2024">
  <label for="files">Files</label>
  <input type="file" id="files" name="file" multiple required>
  <button type="submit" id="pack">Pack</button>
</form>
<p id="status" role="status"></p>
<p id="result" hidden><a id="download" href="#" download>Download</a> <span id="size"></span></p>
<script>
"use strict";
const form = document.getElementById("upload");
const button = document.getElementById("pack");
const statusLine = document.getElementById("status");
const result = document.getElementById("result");
const link = document.getElementById("download");

function report(text, failed) {
  statusLine.textContent = text;
  statusLine.className = failed ? "failed" : "";
}

form.addEventListener("submit", async (event) => {
  event.preventDefault();
  const count = document.getElementById("files").files.length;
  result.hidden = true;
  button.disabled = true;
  report("Packing " + count + (count === 1 ? " file" : " files") + "\u2026", false);
  try {
    const response = await fetch("/compress", { method: "POST", body: new FormData(form) });
    const text = await response.text();
    if (!response.ok) {
      report("The server refused the upload (" + response.status + "): " + text.trim(), true);
      return;
    }
    const answer = new DOMParser().parseFromString(text, "text/xml");
    const error = answer.querySelector("ERROR");
    if (error) {
      report("The module answered with error " + error.getAttribute("code") + ": " + error.textContent, true);
      return;
    }
    const archive = answer.querySelector("COMPRESSED_FILE");
    const url = archive ? archive.getAttribute("url") || "" : "";
    if (!url.startsWith("/output/")) {
      report("The server gave an unexpected answer.", true);
      return;
    }
    const name = url.substring("/output/".length);
    link.href = url;
    link.download = name;
    link.textContent = "Download " + name;
    document.getElementById("size").textContent = "(" + archive.getAttribute("size") + " bytes)";
    result.hidden = false;
    report("Packed " + count + (count === 1 ? " file." : " files."), false);
  } catch (failure) {
    report("The upload failed: " + failure.message, true);
  } finally {
    button.disabled = false;
  }
});
</script>
</body>
</html>
)page";

}  // namespace

std::string_view UploadPage() { return kPage; }

}  // namespace parcel::host
