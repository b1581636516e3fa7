// data.js: the page's embedded document, read as plain data
// Pages carry their document as JSON text in <script type="application/json" id=...>.
// JSON.parse makes every key an own data property, so a key such as "__proto__" stays a
// key and no text of the document ever runs. Python's JSON writer may leave the bare tokens
// NaN, Infinity and -Infinity outside strings; they become the numbers they name.

// The document in the element `id`, or undefined when the page has no such element.
// Throws a SyntaxError when the text is not JSON.
function readEmbeddedJson(id) {
  const el = document.getElementById(id);
  return el ? parseDocumentText(el.textContent) : undefined;
}

// Parses JSON text that may hold the bare NaN / Infinity / -Infinity tokens.
function parseDocumentText(text) {
  if (text.indexOf("NaN") < 0 && text.indexOf("Infinity") < 0) return JSON.parse(text);
  // A marker no string of this text can hold (our writers never escape ASCII letters or
  // digits, so a string equal to the marker would show it verbatim).
  let salt = 0;
  while (text.indexOf("nivra-nan-" + salt) >= 0) salt++;
  const marker = "nivra-nan-" + salt;
  let sawNaN = false;
  // Strings are matched whole (and kept), so tokens are replaced only outside them.
  const fixed = text.replace(/"[^"\\]*(?:\\[\s\S][^"\\]*)*"|-?Infinity|NaN/g, (m) => {
    if (m.charCodeAt(0) === 34) return m;
    if (m === "NaN") { sawNaN = true; return '"' + marker + '"'; }
    return m.charCodeAt(0) === 45 ? "-1e999" : "1e999";
  });
  return sawNaN ? JSON.parse(fixed, (k, v) => (v === marker ? NaN : v)) : JSON.parse(fixed);
}
