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
// Large documents hold "NaN" inside base64 payloads by chance, so the tokens are found by
// one pass over the characters up to the last candidate (a regular expression matching
// every string, or a reviver on JSON.parse, each cost more than the parse itself).
function parseDocumentText(text) {
  const last = Math.max(text.lastIndexOf("NaN"), text.lastIndexOf("Infinity"));
  if (last < 0) return JSON.parse(text);
  const pieces = [];
  let copied = 0, nans = 0, inString = false;
  // A marker no string of this text can hold (our writers never escape ASCII letters or
  // digits, so a string equal to the marker would show it verbatim).
  let salt = 0;
  while (text.indexOf("nivranan" + salt) >= 0) salt++;
  const marker = "nivranan" + salt;
  for (let i = 0; i <= last; i++) {
    const c = text.charCodeAt(i);
    if (inString) {
      if (c === 92) i++;                      // a backslash: skip the escaped character
      else if (c === 34) inString = false;
    } else if (c === 34) inString = true;
    else if (c === 78 && text.startsWith("NaN", i)) {
      pieces.push(text.slice(copied, i), '"' + marker + '"');
      copied = i + 3; i += 2; nans++;
    } else if (c === 73 && text.startsWith("Infinity", i)) {
      pieces.push(text.slice(copied, i), "1e999");   // -Infinity keeps its sign
      copied = i + 8; i += 7;
    }
  }
  if (!copied) return JSON.parse(text);
  pieces.push(text.slice(copied));
  const doc = JSON.parse(pieces.join(""));
  return nans ? restoreNaN(doc, marker, nans) : doc;
}

// Puts NaN where the marker stands; stops once all `count` are found.
function restoreNaN(doc, marker, count) {
  if (doc === marker) return NaN;
  const stack = [doc];
  while (count && stack.length) {
    const o = stack.pop();
    if (o === null || typeof o !== "object") continue;
    // Keys are the object's own (JSON.parse made them), so assigning sets the own property
    // even for "__proto__".
    const keys = Array.isArray(o) ? null : Object.keys(o), n = keys ? keys.length : o.length;
    for (let j = 0; j < n; j++) {
      const k = keys ? keys[j] : j, v = o[k];
      if (v === marker) { o[k] = NaN; count--; } else if (v !== null && typeof v === "object") stack.push(v);
    }
  }
  return doc;
}
